// The daemon's link to its peers: machine control "Mcl" (also the addressee
// of the GUI's request codes), the supervisor "SvDaemon", the logger
// "LoggerD" and the network daemon "NetLinkD".
//
// Every request goes through the messaging layer's IPC_Request, which
// serialises the requests of the whole process and waits at most the reply
// time-out (1000 ms) for each answer.
#pragma once

#include <cstdint>

#include "ipc/ipc.h"

// Registers the daemon as process 5 "Mif", opens its endpoints to the four
// peers, subscribes to their events and starts the logger client. The
// results of the single steps are not examined: a peer whose endpoint could
// not be opened answers every later request with IPC_NO_ENDPOINT.
void Init_Ipc();

// Stops the logger client, which pushes what is still queued, and then
// closes the messaging layer. In this order, so that the last lines of the
// log still reach LoggerD.
void Deinit_Ipc();

// One request with up to three tries while the layer reports IPC_FAILURE or
// IPC_TIMEOUT; each failed try logs "sendRequest failed with status %d" at
// level 6. When the last try fails too, the request is dropped from the
// peer's requester (IPC_DropRequest). Nothing of a request is sent after
// this returns, and no reply to one of its tries is taken for a later
// request; but a try that reached a peer which is slow yet alive is in that
// peer's hands, and it may carry it out after the failure was reported.
// Returns the status of the last try; the reply status word is the
// caller's to examine. `replyPayload` and `replyLength` may both be null;
// otherwise preset them to null and 0: they receive a malloc'd copy of the
// reply payload when there is one.
IpcStatus sendRequest(const char *peer, RequestHeader *header, const void *payload, int length,
                      ReplyHeader *reply, void **replyPayload, int *replyLength);

// One request without retry and without result, for the GUI's request
// codes; a failed send or a missing reply is only logged, and the request
// is dropped as after sendRequest's last try.
void GUI_SendRequest(const char *peer, RequestHeader *header, const void *payload, int length);

// Asks the supervisor to shut the appliance down (request 7, value 2) over a
// requester opened and closed for this one request. True when the
// supervisor answered with status 0.
bool sendShutdownRequest();

// Asks the network daemon to switch off its GUI switching (request 10).
bool setNoGuiSwitch();

// Subscriber of LoggerD's topic 9: event 5 carries a new level threshold.
void LoggerSubscriberHandler(const void *msg, const void *payload, uint8_t length);

// Respondent to the supervisor's surveys: answers each with response word 0
// and status 0.
void SupervisorSurveyHandler(const void *msg, const void *payload, int length,
                             ResponseHeader *out, void **outPayload, int *outLength);
