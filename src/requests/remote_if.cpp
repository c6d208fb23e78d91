// The daemon's own requests to machine control, one small function each over
// one helper per result kind.
#include "requests/remote_if.h"

#include <cstdlib>
#include <cstring>

#include "frame/log.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"

namespace {

// The name a silent request passes instead of its own: it logs nothing.
constexpr const char *kSilent = nullptr;

// One request to machine control and its answer; owns the reply payload.
struct Exchange {
    IpcStatus status = IPC_FAILURE;
    ReplyHeader reply{};
    uint8_t *payload = nullptr;
    int length = 0;

    Exchange() = default;
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;
    ~Exchange() { free(payload); }

    // Whether machine control carried the request out and its reply holds at
    // least `bytes` payload bytes. Nothing is read past a short reply: it
    // counts as a failed request.
    bool holds(size_t bytes) const
    {
        return status == IPC_OK && reply.status == 0 && size_t(length) >= bytes &&
               (bytes == 0 || payload);
    }
    template <typename T> T at(size_t offset) const
    {
        T value;
        memcpy(&value, payload + offset, sizeof value);
        return value;
    }
};

RequestHeader headerFor(const char *name, uint32_t code)
{
    if (name)
        LOGGER_LogMessage(6, 0, "%s", name);
    RequestHeader header{};
    header.requestCode = code;
    return header;
}

void send(Exchange &exchange, const char *name, uint32_t code, const void *payload, int length)
{
    RequestHeader header = headerFor(name, code);
    void *reply = nullptr;
    exchange.status = sendRequest(MCL_PROCESS_NAME, &header, payload, length, &exchange.reply,
                                  &reply, &exchange.length);
    exchange.payload = static_cast<uint8_t *>(reply);
}

// status-only: the channel's status; the reply is not asked for.
int statusOnly(const char *name, uint32_t code, const void *payload, int length)
{
    RequestHeader header = headerFor(name, code);
    ReplyHeader reply{};
    return sendRequest(MCL_PROCESS_NAME, &header, payload, length, &reply, nullptr, nullptr);
}

// flag: the first reply byte, 0 when the request failed.
uint8_t flag(const char *name, uint32_t code, const void *payload = nullptr, int length = 0)
{
    Exchange exchange;
    send(exchange, name, code, payload, length);
    return exchange.holds(1) ? exchange.payload[0] : 0;
}

// value: a T at `offset` of the reply, 0 when the request failed.
template <typename T> T value(const char *name, uint32_t code, size_t offset = 0)
{
    Exchange exchange;
    send(exchange, name, code, nullptr, 0);
    return exchange.holds(offset + sizeof(T)) ? exchange.at<T>(offset) : T(0);
}

// copy: as flag, and `count` reply bytes from `offset` on into `destination`,
// which stays unchanged when the request failed.
uint8_t copy(const char *name, uint32_t code, const void *payload, int length, void *destination,
             size_t offset, size_t count)
{
    Exchange exchange;
    send(exchange, name, code, payload, length);
    size_t needed = offset + count > 1 ? offset + count : 1;
    if (!exchange.holds(needed))
        return 0;
    if (destination && count)
        memcpy(destination, exchange.payload + offset, count);
    return exchange.payload[0];
}

// Payload layouts of more than one field.
struct SpeedPayload {
    uint8_t first;
    uint8_t unused;
    uint16_t second, third, fourth;
};
struct CalibrationPayload {
    uint8_t first;
    uint8_t unused[3];
    int32_t second, third;
};
static_assert(sizeof(SpeedPayload) == 8 && sizeof(CalibrationPayload) == 12);

enum { VERSION_OFFSET = 4, VERSION_SIZE = 32, BACKEND_NUMBER_OFFSET = 12 };

} // namespace

int RemoteIF_setRemoteIFActive(uint8_t active) { return statusOnly(__func__, RIF_SET_REMOTE_IF_ACTIVE, &active, 1); }
uint8_t RemoteIF_getRemoteIFActive() { return flag(__func__, RIF_GET_REMOTE_IF_ACTIVE); }
uint8_t RemoteIF_getPrimaryMotorData() { return flag(__func__, RIF_GET_PRIMARY_MOTOR_DATA); }
uint8_t RemoteIF_requestSecondaryMotorData() { return flag(kSilent, RIF_REQUEST_SECONDARY_MOTOR_DATA); }
int RemoteIF_activateBlackBoxLogging(uint8_t on) { return statusOnly(__func__, RIF_ACTIVATE_BLACKBOX_LOGGING, &on, 1); }
uint64_t RemoteIF_getSysTime() { return value<uint64_t>(__func__, RIF_GET_SYS_TIME); }

bool RemoteIF_querySysTime(uint64_t *timeMs)
{
    Exchange exchange;
    send(exchange, __func__, RIF_GET_SYS_TIME, nullptr, 0);
    if (!exchange.holds(sizeof *timeMs))
        return false;
    *timeMs = exchange.at<uint64_t>(0);
    return true;
}

uint8_t RemoteIF_getVersion(uint8_t destination[32])
{
    return copy(__func__, RIF_GET_VERSION, nullptr, 0, destination, VERSION_OFFSET, VERSION_SIZE);
}

uint8_t RemoteIF_getBackendSerialNumber(uint8_t *destination, uint16_t length)
{
    return copy(__func__, RIF_GET_BACKEND_SERIAL, &length, sizeof length, destination,
                BACKEND_NUMBER_OFFSET, length);
}

uint8_t RemoteIF_getBackendArticleNumber(uint8_t *destination, uint16_t length)
{
    return copy(__func__, RIF_GET_BACKEND_ARTICLE, &length, sizeof length, destination,
                BACKEND_NUMBER_OFFSET, length);
}

int16_t RemoteIF_getMotorValueFT() { return value<int16_t>(kSilent, RIF_GET_MOTOR_VALUE_FT); }
int32_t RemoteIF_getMotorValueTS() { return value<int32_t>(kSilent, RIF_GET_MOTOR_VALUE_TS); }
int RemoteIF_activateRemoteHeatingControl(uint8_t on) { return statusOnly(__func__, RIF_ACTIVATE_REMOTE_HEATING_CONTROL, &on, 1); }

// The reply is the two values and nothing else, so there is no flag byte to
// return: 1 when both were read.
uint8_t RemoteIF_getBalanceCalibrationValues(int32_t *first, int32_t *second)
{
    Exchange exchange;
    send(exchange, __func__, RIF_GET_BALANCE_CALIBRATION, nullptr, 0);
    if (!exchange.holds(2 * sizeof(int32_t)))
        return 0;
    if (first)
        *first = exchange.at<int32_t>(0);
    if (second)
        *second = exchange.at<int32_t>(4);
    return 1;
}

uint8_t RemoteIF_setBalanceCalibrationValues(uint8_t first, int32_t second, int32_t third)
{
    CalibrationPayload payload{first, {0, 0, 0}, second, third};
    return flag(__func__, RIF_SET_BALANCE_CALIBRATION, &payload, sizeof payload);
}

int32_t RemoteIF_getBalanceTaraValue() { return value<int32_t>(__func__, RIF_GET_BALANCE_TARA); }
int RemoteIF_setBalanceTaraValue(int32_t tare) { return statusOnly(__func__, RIF_SET_BALANCE_TARA, &tare, sizeof tare); }
uint8_t RemoteIF_setHeating(uint8_t on) { return flag(__func__, RIF_SET_HEATING, &on, 1); }
uint8_t RemoteIF_handleBowl(uint8_t close) { return flag(__func__, RIF_HANDLE_BOWL, &close, 1); }
uint8_t RemoteIF_handlePowerRelay(uint8_t close) { return flag(__func__, RIF_HANDLE_POWER_RELAY, &close, 1); }

uint8_t RemoteIF_setSpeed(uint8_t first, uint16_t second, uint16_t third, uint16_t fourth)
{
    SpeedPayload payload{first, 0, second, third, fourth};
    return flag(__func__, RIF_SET_SPEED, &payload, sizeof payload);
}

uint8_t RemoteIF_resetMC() { return flag(__func__, RIF_RESET_MC); }
uint8_t RemoteIF_powerOff(uint16_t delayMs) { return flag(__func__, RIF_POWER_OFF, &delayMs, sizeof delayMs); }
uint8_t RemoteIF_resetPowerRelayLock() { return flag(__func__, RIF_RESET_POWER_RELAY_LOCK); }
uint8_t RemoteIF_resetCoverSwitchLock() { return flag(__func__, RIF_RESET_COVER_SWITCH_LOCK); }
uint8_t RemoteIF_sendTestModeCommand(int32_t command) { return flag(__func__, RIF_SEND_TEST_MODE_COMMAND, &command, sizeof command); }

uint8_t RemoteIF_setAmbilightPWM(uint8_t red, uint8_t green)
{
    uint8_t payload[2] = {red, green};
    return flag(__func__, RIF_SET_AMBILIGHT_PWM, payload, sizeof payload);
}

uint8_t RemoteIF_SetWarmStart(uint8_t on) { return flag(__func__, RIF_SET_WARM_START, &on, 1); }
uint8_t RemoteIF_setTransportTime(uint16_t timeMs) { return flag(__func__, RIF_SET_TRANSPORT_TIME, &timeMs, sizeof timeMs); }
