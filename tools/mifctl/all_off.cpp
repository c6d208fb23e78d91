#include "all_off.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "catalog.h"
#include "session/command_list.h"

namespace {

struct AllOffStep {
    const char *what;
    int32_t index;
    const char *payload;
    unsigned actuator;
};

// The raw stop first: it halts the motor at once, whether the knob or the
// raw form started it; the knob then follows, which takes up to 24 steps.
const AllOffStep kAllOffSteps[] = {
    {"motor (raw stop)", MCH_SET_SPEED, "0,0,0,0", ACTUATOR_MOTOR},
    {"motor (knob to 0)", MCH_SET_SPEED, "0.0", ACTUATOR_MOTOR},
    {"heater", MCH_SET_HEATING, "OFF", ACTUATOR_HEATER},
    {"remote heating control", MCH_HEAT_CTRL, "OFF", ACTUATOR_HEATER},
};

// The leading number of a speed text, read as the daemon reads it
// (base from the prefix); -1 when there is none.
long leadingNumber(const std::string &text)
{
    char *end = nullptr;
    const long value = strtol(text.c_str(), &end, 0);
    return end == text.c_str() ? -1 : value;
}

// Whether a speed payload stops the motor: the raw form with a first
// number 0, or a knob speed of 0 ("0.0", "0.00"). "SOFT" runs it.
bool speedStops(const std::string &payload)
{
    if (payload.find(',') != std::string::npos)
        return leadingNumber(payload) == 0;
    std::string digits;
    for (char c : payload)
        if (c != '.')
            digits += c;
    return !digits.empty() && digits.find_first_not_of('0') == std::string::npos;
}

bool isOn(const std::string &payload)
{
    std::string word;
    for (char c : payload)
        word += char(toupper(static_cast<unsigned char>(c)));
    return word == "ON";
}

volatile sig_atomic_t interruptFlag = 0;

void onInterrupt(int) { interruptFlag = 1; }

} // namespace

bool allOff(Session &session, unsigned actuators, std::vector<AllOffResult> *results, std::string *error)
{
    results->clear();
    for (const AllOffStep &step : kAllOffSteps) {
        if (!(step.actuator & actuators))
            continue;
        Answer answer;
        if (!request(session, step.index, step.payload, true, &answer, error))
            return false;
        const CommandRow *row = findCommandByIndex(step.index);
        results->push_back(AllOffResult{step.what, row ? row->name : "?", answerText(answer), !answerIsNak(answer)});
    }
    return true;
}

int runAllOff(Session &session, unsigned actuators)
{
    std::vector<AllOffResult> results;
    std::string error;
    const bool sent = allOff(session, actuators, &results, &error);
    int code = EXIT_ANSWER_OK;
    for (const AllOffResult &result : results) {
        fprintf(result.ok ? stdout : stderr, "%s: %s\n", result.what.c_str(), result.answer.c_str());
        if (!result.ok)
            code = EXIT_ANSWER_NAK;
    }
    fflush(stdout);
    if (!sent) {
        fprintf(stderr, "mifctl: %s; the machine may still be running\n", error.c_str());
        return EXIT_CONNECTION;
    }
    return code;
}

unsigned actuatorsStartedBy(const PreparedRequest &request)
{
    if (request.kind != REQUEST_PLAIN || !request.hasPayload)
        return 0;
    switch (request.index) {
    case MCH_SET_SPEED: return speedStops(request.payload) ? 0u : unsigned(ACTUATOR_MOTOR);
    case MCH_SET_HEATING:
    case MCH_HEAT_CTRL: return isOn(request.payload) ? unsigned(ACTUATOR_HEATER) : 0u;
    default: return 0;
    }
}

void watchInterrupt()
{
    interruptFlag = 0;
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool interruptSeen() { return interruptFlag != 0; }

int stopInterrupted(Session &session, unsigned started, int code)
{
    return interruptSeen() ? stopStarted(session, started, "interrupted", code) : code;
}

int stopStarted(Session &session, unsigned started, const char *why, int code)
{
    if (!started)
        return code;
    fprintf(stderr, "mifctl: %s; stopping what was started (--stop-on-exit)\n", why);
    const int stopCode = session.socket.get() >= 0 ? runAllOff(session, started) : EXIT_CONNECTION;
    if (stopCode == EXIT_CONNECTION && session.socket.get() < 0)
        fprintf(stderr, "mifctl: no session left to stop the machine with; `mifctl all-off` does it\n");
    return stopCode == EXIT_CONNECTION ? EXIT_CONNECTION : code;
}
