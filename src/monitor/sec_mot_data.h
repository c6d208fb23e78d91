// The secondary-motor-data poll: machine control sends secondary motor
// data only when asked, so a thread asks about a second after each answer
// and, while no answer comes, every 30 seconds.
#pragma once

#include <cstdint>
#include <mutex>

struct SecMotDataPoll {
    std::mutex lock;           // held across one request
    int32_t requestFlag = 1;   // set by each answer (and at start): ask at the next turn
};
extern SecMotDataPoll secMotDataPoll;

enum { SEC_MOT_DATA_TURN_MS = 1000, SEC_MOT_DATA_RETRY_TURNS = 30 };

// Notes that secondary motor data arrived, so the next turn asks again.
void secMotDataArrived();

// One turn of the poll, after its pause: asks machine control when an
// answer came since the last request or when `turnsWithoutAnswer` reaches
// 30 (it counts the turns since the last request).
void secMotDataPollTurn(uint32_t &turnsWithoutAnswer);

// Pauses for `ms` milliseconds; returns false when stop was requested
// meanwhile (the pause then ends early).
using PollPause = bool (*)(unsigned ms);

// The poll loop: pause a turn, then take it, until stopRequested is set.
void pollSecMotDataLoop(PollPause pause);

// The real pause: sleeps on the monotonic clock, and a stop request ends it
// at once (returning false).
bool pauseUnlessStopped(unsigned ms);

// The thread body: the loop with the real pause.
void pollSecMotData();
