#include "monitor/sec_mot_data.h"

#include "frame/log.h"
#include "frame/run_state.h"
#include "platform/clock.h"
#include "requests/remote_if.h"

SecMotDataPoll secMotDataPoll;

void secMotDataArrived()
{
    std::lock_guard<std::mutex> guard(secMotDataPoll.lock);
    secMotDataPoll.requestFlag = 1;
}

void secMotDataPollTurn(uint32_t &turnsWithoutAnswer)
{
    std::lock_guard<std::mutex> guard(secMotDataPoll.lock);
    if (!secMotDataPoll.requestFlag)
        turnsWithoutAnswer++;
    if (!secMotDataPoll.requestFlag && turnsWithoutAnswer < SEC_MOT_DATA_RETRY_TURNS)
        return;
    turnsWithoutAnswer = 0;
    secMotDataPoll.requestFlag = 0;
    // A failed request is tried again at the next 30-turn mark.
    if (RemoteIF_requestSecondaryMotorData() == 0)
        LOGGER_LogMessage(3, 0, "%s, %i, failed to request secondary motor data!\n", "pollSecMotData", __LINE__);
}

void pollSecMotDataLoop(PollPause pause)
{
    uint32_t turnsWithoutAnswer = 0;
    while (!stopRequested) {
        if (!pause(SEC_MOT_DATA_TURN_MS))
            break;
        secMotDataPollTurn(turnsWithoutAnswer);
    }
}

// Other wake-ups of the run-state condition only end one wait, not the pause.
bool pauseUnlessStopped(unsigned ms)
{
    const int64_t end = monotonicMs() + ms;
    while (!stopRequested) {
        int64_t left = end - monotonicMs();
        if (left <= 0)
            return true;
        waitRunStateChange(unsigned(left));
    }
    return false;
}

void pollSecMotData()
{
    pollSecMotDataLoop(pauseUnlessStopped);
}
