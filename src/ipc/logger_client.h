// The logger client: carries the entries that the logger sink queues
// (frame/log_ring.h) to the logger process "LoggerD".
//
// Two threads: the level-query thread asks LoggerD for its level threshold
// until it answers, and the sender thread drains the ring, pushing each entry
// to LoggerD's "Log" socket. Until a threshold is known nothing is sent;
// text entries are filtered by the threshold again when they are sent.
//
// The messaging layer must be initialised with a requester and a log push
// endpoint to LoggerD (the request channel's Init_Ipc opens both), and must
// still be up when LOGGER_Stop runs: the final drain pushes through it.
#pragma once

#include <cstdint>

// Starts the client: creates the ring (capacity capped at 500) and the two
// threads. Only the first call acts.
void LOGGER_Start(int sourceId, unsigned capacity);

// Stops the level-query thread (an attempt in flight is bounded by the reply
// time-out), lets the sender push what is queued, joins both threads and
// frees the ring. Later log calls are dropped. Returns at once when the
// client was never started.
void LOGGER_Stop();
