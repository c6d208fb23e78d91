// Machine control, supervisor and network daemon as an always willing
// stand-in for the request channel: every request succeeds at once with a
// reply whose bytes are all 1 (a success flag in byte 0, small values
// wherever a request reads one). The request catalogue above it is the
// daemon's own, so a fuzzed handler runs exactly as in the daemon, only
// without processes and time-outs. Replaces every function of
// requests/request_channel.h, so the real channel is never linked.
//
// A GUI request is answered the way machine control answers one: by an
// event from another thread, here the speed status "reached", and for a
// motor function the bowl's state (closed for transport, open otherwise).
// Without them a motor or transport command would sit out its whole wait
// for the report on every input.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "monitor/gui_state.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"

namespace {

enum { REPLY_BYTES = 512 };
constexpr int32_t SPEED_STATUS_REACHED = 2;

// The thread that plays machine control's event side. It reports through
// the GUI state, whose lock the requesting command holds until it waits, so
// the report cannot arrive before the wait it ends. Joined at exit.
class GuiEventStandIn {
  public:
    ~GuiEventStandIn()
    {
        {
            std::lock_guard<std::mutex> held(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

    // `bowlState` is the bowl report the request calls for, or
    // BOWL_STATE_UNKNOWN when it calls for none.
    void requestSeen(int32_t bowlState)
    {
        std::lock_guard<std::mutex> held(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        ++pending_;
        if (bowlState != BOWL_STATE_UNKNOWN)
            bowlState_ = bowlState;
        wake_.notify_one();
    }

  private:
    void run()
    {
        std::unique_lock<std::mutex> held(mutex_);
        for (;;) {
            wake_.wait(held, [this] { return stopping_ || pending_ > 0; });
            if (stopping_)
                return;
            pending_ = 0;
            const int32_t bowl = bowlState_;
            bowlState_ = BOWL_STATE_UNKNOWN;
            held.unlock();
            guiStateSetSpeedStatus(SPEED_STATUS_REACHED);
            if (bowl != BOWL_STATE_UNKNOWN)
                BowlLockState.store(bowl);
            held.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    int pending_ = 0;
    int32_t bowlState_ = BOWL_STATE_UNKNOWN;
    bool stopping_ = false;
};

GuiEventStandIn guiEvents;

} // namespace

void Init_Ipc() {}
void Deinit_Ipc() {}

IpcStatus sendRequest(const char *, RequestHeader *header, const void *, int length, ReplyHeader *reply,
                      void **replyPayload, int *replyLength)
{
    if (length < 0 || !header)
        return IPC_BAD_ARGUMENT;
    if (reply) {
        reply->replierId = 1;
        reply->transaction = header->transaction;
        reply->status = 0;
    }
    if (replyPayload && replyLength) {
        void *bytes = malloc(REPLY_BYTES);
        if (!bytes)
            return IPC_FAILURE;
        memset(bytes, 1, REPLY_BYTES);
        *replyPayload = bytes;
        *replyLength = REPLY_BYTES;
    }
    return IPC_OK;
}

void GUI_SendRequest(const char *, RequestHeader *header, const void *payload, int length)
{
    int32_t bowl = BOWL_STATE_UNKNOWN;
    if (header && header->requestCode == GUI_REQUEST_MOTOR_FUNCTION && payload &&
        length == int(sizeof(int32_t))) {
        int32_t function;
        memcpy(&function, payload, sizeof function);
        bowl = function == MOTOR_TRANSPORT ? BOWL_STATE_CLOSED : BOWL_STATE_OPEN;
    }
    guiEvents.requestSeen(bowl);
}
bool sendShutdownRequest() { return true; }
bool setNoGuiSwitch() { return true; }
void LoggerSubscriberHandler(const void *, const void *, uint8_t) {}
void SupervisorSurveyHandler(const void *, const void *, int, ResponseHeader *out, void **, int *)
{
    if (out)
        memset(out, 0, sizeof *out);
}
