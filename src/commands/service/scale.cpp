// The scale readings machine control reports, and the commands that read
// them and the tare.
#include "commands/service/scale.h"

#include <mutex>

#include "commands/service/service_commands.h"
#include "requests/gui_if.h"
#include "requests/remote_if.h"

namespace {

// Lock order: weightLock before adLock.
std::mutex weightLock;
std::mutex adLock;
int32_t weight = SCALE_NO_READING;
int32_t adValue = SCALE_NO_READING;

} // namespace

void onScaleWeight(int32_t value)
{
    std::lock_guard<std::mutex> guard(weightLock);
    weight = value;
}

void onScaleAdValue(int32_t value)
{
    std::lock_guard<std::mutex> guard(adLock);
    adValue = value;
}

bool scaleReadings(int32_t *weightOut, int32_t *adValueOut)
{
    std::lock_guard<std::mutex> weightGuard(weightLock);
    std::lock_guard<std::mutex> adGuard(adLock);
    *weightOut = weight;
    *adValueOut = adValue;
    return weight != SCALE_NO_READING && adValue != SCALE_NO_READING;
}

bool scaleAdReading(int32_t *adValueOut)
{
    std::lock_guard<std::mutex> guard(adLock);
    *adValueOut = adValue;
    return adValue != SCALE_NO_READING;
}

void resetScaleReadings()
{
    std::lock_guard<std::mutex> weightGuard(weightLock);
    std::lock_guard<std::mutex> adGuard(adLock);
    weight = SCALE_NO_READING;
    adValue = SCALE_NO_READING;
}

Command *cmdHandler_MCHGetWeight(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    int32_t currentWeight, currentAd;
    Command *answer = scaleReadings(&currentWeight, &currentAd)
                          ? createStringCommand(request->index, request->tag, "%i,%i", currentWeight, currentAd)
                          : createStringCommand(request->index, request->tag, "NAK: Scale sent no data");
    MIF_TRACE_LEAVE();
    return answer;
}

Command *cmdHandler_MCHGetTara(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    // The tare is a signed word on the link and is answered unsigned (a
    // negative tare reads as its two's complement); 0 when the request failed.
    uint32_t tare = uint32_t(RemoteIF_getBalanceTaraValue());
    Command *answer = createUIntCommand(request->index, request->tag, tare);
    MIF_TRACE_LEAVE();
    return answer;
}

Command *cmdHandler_MCHSetTara(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    const char *text = commandText(request);
    if (text && *text) {
        Command *error = nullptr;
        int32_t tare = parseArgINT32(request, text, &error);
        if (error) {
            MIF_TRACE_LEAVE();
            return error;
        }
        RemoteIF_setBalanceTaraValue(tare);
    } else {
        // No number: let the scale take its current load as the tare.
        GUI_IF_ResetBalance();
    }
    MIF_TRACE_LEAVE();
    return createAckCommand(request->index, request->tag);
}
