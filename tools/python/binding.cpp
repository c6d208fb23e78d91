// mif._core: mifctl's client library as a Python extension.
//
// One Session object holds one authenticated connection for many requests.
// Every call that waits on the network runs without the interpreter lock,
// so other Python threads (a second appliance's session, a progress
// display) go on meanwhile; the session's own mutex keeps the requests of
// one session in step, since the daemon answers one request at a time.
//
// Failures reach Python as the exception classes of mif.errors; the
// classes live in Python so that callers (and the Ansible modules) can
// catch them without importing the extension.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <optional>

#include "catalog.h"
#include "platform/paths.h"
#include "cli.h"
#include "connection.h"
#include "provisioning.h"
#include "run.h"
#include "serial_info.h"
#include "session/command_list.h"
#include "state_log.h"
#include "transfer.h"

namespace py = pybind11;

namespace {

[[noreturn]] void raise(const char *errorClass, const std::string &message)
{
    py::object type = py::module_::import("mif.errors").attr(errorClass);
    PyErr_SetObject(type.ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

// mifctl_core says what went wrong in words; Python callers need the kind.
// A request mifctl's preparation or transfer refused before anything was
// sent: a local file that cannot be read or written is an OSError, the
// rest a mistake in the call.
[[noreturn]] void raiseUsage(const std::string &message)
{
    if (message.rfind("cannot read", 0) == 0 || message.rfind("cannot write", 0) == 0) {
        const std::string missing = strerror(ENOENT);
        const bool notFound = message.size() > missing.size() &&
                              message.compare(message.size() - missing.size(), missing.size(), missing) == 0;
        PyErr_SetString(notFound ? PyExc_FileNotFoundError : PyExc_OSError, message.c_str());
        throw py::error_already_set();
    }
    throw py::value_error(message);
}

[[noreturn]] void raiseConnectionFailure(const std::string &error)
{
    if (error.rfind("authentication refused", 0) == 0 || error.rfind("cannot sign", 0) == 0)
        raise("Refused", error);
    if (error.rfind("daemon displaced us", 0) == 0)
        raise("Displaced", error);
    if (error.find("no answer from") != std::string::npos)
        raise("Timeout", error);
    raise("ConnectionError", error);
}

// One answer as Python sees it.
struct PyAnswer {
    int32_t index = 0;
    std::string command;  // the daemon's name of the command
    std::string text;
    bool nak = false;
};

PyAnswer toPyAnswer(int32_t index, const Answer &answer)
{
    const CommandRow *row = findCommandByIndex(index);
    return {index, row ? row->name : "", answerText(answer), answerIsNak(answer)};
}

// The one place the Python package takes a state record's shape from, so
// that a change of mifctl's JSON form is a change here alone.
std::string stateRecordForPython(const StateRecord &record)
{
    return stateRecordJson(record);
}

class PySession {
public:
    PySession(const std::string &host, int port, const KeyChoice &key, int timeoutMs)
    {
        std::string error;
        bool opened;
        {
            py::gil_scoped_release release;
            opened = openSession({host, port}, key, timeoutMs, &session_, &error);
        }
        if (!opened)
            raiseConnectionFailure(error);
    }

    bool isOpen() const { return session_.socket.get() >= 0; }
    std::string role() const { return session_.key.role; }
    std::string keyPath() const { return session_.key.path; }
    std::string host() const { return session_.endpoint.host; }
    int port() const { return session_.endpoint.port; }

    void close()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        session_.socket.reset();
    }

    // One plain request: `payload` None sends none.
    PyAnswer request(int32_t index, std::optional<std::string> payload)
    {
        const CommandRow *row = findCommandByIndex(index);
        if (!row)
            throw py::value_error("no command with index " + std::to_string(index));
        if (row->transferType != 0 || index == MCH_CHAP || index == CMD_ERROR)
            throw py::value_error(std::string(row->name) +
                                  " is not a plain command; use the session's transfer calls for files");
        Answer answer;
        std::string error;
        bool done;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            done = requestLocked(index, payload.value_or(""), payload.has_value(), &answer, &error);
        }
        if (!done)
            raiseConnectionFailure(error);
        return toPyAnswer(index, answer);
    }

    // A command in mifctl's words ("set-speed", ["5.0"]), prepared by
    // mifctl's own code: argument words, picture and sound conversion,
    // signature checks. Files travel with `progress(done, total)` told of
    // every block.
    PyAnswer run(const std::string &alias, const std::vector<std::string> &args, const py::dict &options,
                 std::optional<py::function> progress)
    {
        Invocation inv;
        inv.kind = INVOKE_ALIAS;
        inv.alias = findAlias(alias);
        if (!inv.alias) {
            inv.kind = INVOKE_RAW;
            inv.command = findCommandByName(alias);
            if (!inv.command)
                throw py::value_error("no command named \"" + alias + "\"");
        }
        inv.args = args;
        if (options.contains("output"))
            inv.output = options["output"].cast<std::string>();
        if (options.contains("rotated"))
            inv.rotated = options["rotated"].cast<int>();
        if (options.contains("index"))
            inv.logIndex = options["index"].cast<int>();
        if (options.contains("signature"))
            inv.signature = options["signature"].cast<std::string>();
        if (options.contains("scale"))
            inv.scale = options["scale"].cast<bool>();

        PreparedRequest req;
        std::string message;
        if (prepareInvocation(inv, &req, &message) != EXIT_ANSWER_OK)
            raiseUsage(message);
        switch (req.kind) {
        case REQUEST_PLAIN:
        case REQUEST_STATE:
        case REQUEST_SERIAL:
            return request(req.index, req.hasPayload ? std::optional<std::string>(req.payload) : std::nullopt);
        case REQUEST_UPLOAD:
        case REQUEST_DOWNLOAD:
            if (req.kind == REQUEST_DOWNLOAD && req.output == "-")
                throw py::value_error("a download needs a file to write to");
            return transfer(req, progress);
        default:
            throw py::value_error("\"" + alias + "\" is not sent through a Python session");
        }
    }

    // `count` requests of one plain command straight from C++, each one's
    // round trip in nanoseconds: what the Python layer costs is the
    // difference to request() called from Python (scripts/bench).
    std::vector<int64_t> timeRequests(int32_t index, int count)
    {
        std::vector<int64_t> samples;
        std::string error;
        bool failed = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            Answer answer;
            for (int i = 0; i < count && !failed; i++) {
                const auto start = std::chrono::steady_clock::now();
                failed = !requestLocked(index, "", false, &answer, &error);
                samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now() - start).count());
            }
        }
        if (failed)
            raiseConnectionFailure(error);
        return samples;
    }

private:
    bool requestLocked(int32_t index, const std::string &payload, bool hasPayload, Answer *answer, std::string *error)
    {
        if (session_.socket.get() < 0) {
            *error = "the session is closed";
            return false;
        }
        if (::request(session_, index, payload, hasPayload, answer, error))
            return true;
        // A failed request leaves the stream out of step: the session is over.
        session_.socket.reset();
        return false;
    }

    PyAnswer transfer(const PreparedRequest &req, const std::optional<py::function> &progress)
    {
        Answer answer;
        std::string error;
        std::optional<py::error_already_set> callbackError;
        TransferOptions options;
        options.label = req.label;
        options.answerTimeoutMs = req.answerTimeoutMs;
        options.answer = &answer;
        if (progress)
            options.onProgress = [&](uint64_t done, uint64_t total) {
                py::gil_scoped_acquire acquire;
                if (callbackError)
                    return;
                try {
                    (*progress)(done, total);
                } catch (py::error_already_set &e) {
                    // Raised once the transfer is over: the stream cannot
                    // stop halfway through a frame.
                    callbackError = std::move(e);
                }
            };
        int code;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            if (session_.socket.get() < 0) {
                code = EXIT_CONNECTION;
                error = "the session is closed";
            } else if (req.kind == REQUEST_UPLOAD) {
                code = uploadFile(session_, req.index, req.pieces, options, &error);
            } else {
                code = downloadFile(session_, req.index, req.payload, req.output, options, &error);
            }
            if (code == EXIT_CONNECTION)
                session_.socket.reset();
        }
        if (callbackError)
            throw *callbackError;
        if (code == EXIT_CONNECTION)
            raiseConnectionFailure(error);
        if (code == EXIT_USAGE)
            raiseUsage(error);
        // A download answers with the file; what Python sees is "ACK".
        if (req.kind == REQUEST_DOWNLOAD && code == EXIT_ANSWER_OK)
            answer.payload.assign({'A', 'C', 'K'});
        return toPyAnswer(req.index, answer);
    }

    std::mutex mutex_;  // the session and every request on it
    Session session_;
};

KeyChoice chooseKey(const std::optional<std::string> &key, const std::optional<std::string> &role)
{
    KeyChoice choice;
    std::string error;
    if (!resolveKey(key.value_or(""), role.value_or(""), &choice, &error)) {
        raiseUsage(error);
    }
    return choice;
}

// "WEIGHT,AD" of MCH_GET_WEIGHT; None when the text is not that.
std::optional<std::pair<int32_t, int32_t>> decodeWeight(const std::string &text)
{
    long long weight = 0, ad = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%lld,%lld%n", &weight, &ad, &used) != 2 || size_t(used) != text.size())
        return std::nullopt;
    return std::make_pair(int32_t(weight), int32_t(ad));
}

// The development keys beside this module: the source tree's for the
// package of the build tree that compiled it, mif-dev-keys' for an
// installed one. Empty when the module cannot tell where it is.
std::string keyDirectoryBesideModule()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&keyDirectoryBesideModule), &info) || !info.dli_fname)
        return "";
    char module[PATH_MAX];
    if (!realpath(info.dli_fname, module))
        return "";
    std::string dir(module);
    dir.resize(dir.rfind('/'));
    return developmentKeyDirBeside(dir, MIF_PYTHON_BUILD_PACKAGE_DIR, MIF_PYTHON_SOURCE_KEY_DIR,
                                   MIF_PYTHON_INSTALLED_KEY_DIR);
}

}  // namespace

PYBIND11_MODULE(_core, m)
{
    setEmbeddedKeyDirectory(keyDirectoryBesideModule());
    m.doc() = "mifctl's client library: sessions, commands, transfers and decoders";

    py::class_<PyAnswer>(m, "Answer")
        .def_readonly("index", &PyAnswer::index)
        .def_readonly("command", &PyAnswer::command)
        .def_readonly("text", &PyAnswer::text)
        .def_readonly("nak", &PyAnswer::nak)
        .def_property_readonly("ok", [](const PyAnswer &a) { return !a.nak; })
        .def("__str__", [](const PyAnswer &a) { return a.text; })
        .def("__repr__", [](const PyAnswer &a) { return "<Answer " + a.command + ": " + a.text + ">"; });

    py::class_<PySession>(m, "Session")
        .def(py::init([](const std::string &host, int port, std::optional<std::string> key,
                         std::optional<std::string> role, int timeoutMs) {
                 return new PySession(host, port, chooseKey(key, role), timeoutMs);
             }),
             py::arg("host"), py::arg("port"), py::arg("key"), py::arg("role"), py::arg("timeout_ms"))
        .def_property_readonly("is_open", &PySession::isOpen)
        .def_property_readonly("role", &PySession::role)
        .def_property_readonly("key", &PySession::keyPath)
        .def_property_readonly("host", &PySession::host)
        .def_property_readonly("port", &PySession::port)
        .def("close", &PySession::close)
        .def("request", &PySession::request, py::arg("index"), py::arg("payload") = py::none())
        .def("_time_requests", &PySession::timeRequests, py::arg("index"), py::arg("count"))
        .def("run", &PySession::run, py::arg("command"), py::arg("args"), py::arg("options") = py::dict(),
             py::arg("progress") = py::none());

    m.def("command_index", [](const std::string &name) {
        const CommandRow *row = findCommandByName(name);
        return row ? row->index : -1;
    });
    m.def("command_name", [](int32_t index) {
        const CommandRow *row = findCommandByIndex(index);
        return std::string(row ? row->name : "");
    });
    m.def("role_level", [](const std::string &role) { return roleLevel(role); });
    m.def("decode_serial", [](const std::string &text) -> std::optional<std::string> {
        std::vector<SerialField> fields;
        if (!parseSerialAnswer(text, &fields))
            return std::nullopt;
        return serialFieldsJson(fields);
    });
    m.def("decode_state", [](const std::string &text) {
        std::vector<std::string> records;
        for (const StateRecord &record : decodeStateLog(text))
            records.push_back(stateRecordForPython(record));
        return records;
    });
    m.def("decode_weight", &decodeWeight);
    m.def("decode_caldata", [](const std::string &text) -> std::optional<std::vector<std::pair<uint32_t, int32_t>>> {
        std::vector<CalPoint> points;
        if (!parseCaldataText(text, &points))
            return std::nullopt;
        std::vector<std::pair<uint32_t, int32_t>> pairs;
        for (const CalPoint &p : points)
            pairs.emplace_back(p.grams, p.ad);
        return pairs;
    });
    m.def("caldata_argument", [](uint32_t grams, int32_t ad) { return caldataArgument({grams, ad}); });
    m.def("identity_value", [](const std::string &serialText, const std::string &target) -> std::optional<uint64_t> {
        std::vector<SerialField> fields;
        uint64_t value = 0;
        if (!parseSerialAnswer(serialText, &fields) || !identityValue(fields, target, &value))
            return std::nullopt;
        return value;
    });
}
