// One authenticated session with the daemon.
//
// The daemon sends a 256-byte challenge as soon as a client connects; the
// client signs it with a role's private key and sends the signature back.
// After that every request is one frame (index, tag, payload) answered by
// one frame under the same tag. The daemon serves one client at a time: a
// newer connection makes it close ours without a word, which shows here as
// the connection ending.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// mifctl's exit status.
enum ExitCode { EXIT_ANSWER_OK = 0, EXIT_ANSWER_NAK = 1, EXIT_USAGE = 2, EXIT_CONNECTION = 3 };

// Owns one descriptor and closes it exactly once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// The key a session signs with, and the role it belongs to ("" when the key
// file is not one of the roles' own).
struct KeyChoice {
    std::string path;
    std::string role;
};

// The seven roles, in the daemon's order, and the level each grants.
struct RoleRow {
    const char *role;        // file name in the key directory, without .pem
    const char *daemonName;  // how the daemon names the role
    int32_t level;
};
extern const RoleRow kRoleRows[];
extern const int kRoleRowCount;

// The directory -r ROLE takes ROLE.pem from: MIF_KEY_DIR, else the
// development keys (the source tree's from the build tree, the installed
// mif-dev-keys beside an installed program).
std::string developmentKeyDirectory();

// For a client embedded in another program (the Python package inside an
// interpreter), whose own place says nothing about where the development
// keys lie: the directory it found beside itself, taken when MIF_KEY_DIR is
// unset. Empty (the default) leaves the program's place to decide.
void setEmbeddedKeyDirectory(const std::string &dir);

// The key of --key FILE or --role NAME (exactly one of them non-empty).
// Roles are looked up in MIF_KEY_DIR, or else the project's development keys.
// The file is checked with checkPrivateKeyFile.
bool resolveKey(const std::string &keyFile, const std::string &role, KeyChoice *key, std::string *error);

// Whether a file can serve as a private key: readable, a PEM private key
// that loads, and closed to group and others (the published development
// keys excepted). False with a message naming what is wrong. Every program
// that signs with a role's key checks it here, before it connects.
bool checkPrivateKeyFile(const std::string &path, std::string *error);

// The level a role grants, or -1 when the role is unknown.
int32_t roleLevel(const std::string &role);

struct Endpoint {
    std::string host;
    int port = 0;
};

struct Session {
    UniqueFd socket;
    Endpoint endpoint;
    KeyChoice key;
    int timeoutMs = 30000;          // longest wait for any answer byte
    int32_t nextTag = 1;
    std::vector<uint8_t> challenge; // the session's challenge, for MCH_CHAP again
};

// One answer frame.
struct Answer {
    int32_t index = 0;
    int32_t tag = 0;
    std::vector<uint8_t> payload;
};

// The payload as text: up to its first NUL, trailing line ends removed.
std::string answerText(const Answer &answer);
bool answerIsNak(const Answer &answer);

// Connects, reads the challenge, signs it and checks the daemon accepted
// the signature. On failure *error says what happened (refused, unknown
// host, time-out, authentication refused) and the session stays closed.
bool openSession(const Endpoint &endpoint, const KeyChoice &key, int timeoutMs, Session *session, std::string *error);

// Signs the session's challenge again and sends it as MCH_CHAP.
bool reauthenticate(Session &session, Answer *answer, std::string *error);

// A fresh tag for the next request.
int32_t takeTag(Session &session);

// Low-level frame transfer, each bounded by the session's time-out. A
// closed connection is reported as the daemon displacing us.
bool sendHeader(Session &session, int32_t index, int32_t tag, uint32_t length, std::string *error);
bool sendBytes(Session &session, const void *data, size_t length, std::string *error);
bool receiveHeader(Session &session, int timeoutMs, int32_t *index, int32_t *tag, uint32_t *length,
                   std::string *error);
// Receives up to `length` bytes (at least one); returns the count or -1.
long receiveSome(Session &session, void *buffer, size_t length, std::string *error);
bool receiveExact(Session &session, void *buffer, size_t length, std::string *error);

// Checks an answer header against the request: the echoed tag, and the
// request's index (or 0, under which the daemon refuses a command).
bool checkAnswerHeader(int32_t requestIndex, int32_t requestTag, int32_t index, int32_t tag, std::string *error);

// Reads the answer to a request sent under `requestIndex` and `requestTag`.
bool receiveAnswer(Session &session, int32_t requestIndex, int32_t requestTag, Answer *answer, std::string *error);

// Prints an answer: "ACK" and values on standard output (EXIT_ANSWER_OK),
// "NAK: ..." on standard error (EXIT_ANSWER_NAK). A command refused for its
// level gets a hint naming the level it needs and the key's role.
int printAnswer(const Session &session, int32_t requestIndex, const Answer &answer);

// Sends one plain request (with a text payload and its NUL when hasPayload)
// and reads its answer.
bool request(Session &session, int32_t index, const std::string &payload, bool hasPayload, Answer *answer,
             std::string *error);

// True when the daemon has closed our connection while we were idle (it
// does so when a newer client connects), waiting up to `waitMs` for it.
// Nothing may be expected on the connection: no request is outstanding.
bool sessionClosedByPeer(Session &session, int waitMs = 0);

// Waits until the daemon closes the connection; false on a time-out.
bool waitForClose(Session &session, int timeoutMs);
