// Surveys and their responses, answered by the respondent's handler or
// later with IPC_Respond.
#include "ipc_test_util.h"

#include <atomic>
#include <cstring>

namespace {

Recorder gSurveys;    // seen by the respondent
Recorder gResponses;  // seen by the surveyor
std::atomic<uint32_t> gAnswerStatus{0};

void onSurvey(const void *msg, const void *payload, int len, ResponseHeader *out,
              void **outPayload, int *outLen)
{
    gSurveys.add(msg, static_cast<int>(sizeof(SurveyHeader)) + len, payload, len);
    out->respondentId = 1234;  // the layer writes the own id
    out->surveyCode = 5678;    // and copies the survey's code
    out->responseWord = 42;
    out->status = gAnswerStatus.load();
    *outPayload = strdup("ok");
    *outLen = 3;
}

void onResponse(const void *msg, const void *payload, int len)
{
    gResponses.add(msg, static_cast<int>(sizeof(ResponseHeader)) + len, payload, len);
}

class IpcSurvey : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gSurveys.clear();
        gResponses.clear();
        gAnswerStatus = 0;
        ASSERT_EQ(IPC_OpenSurveyor(onResponse, 500), IPC_OK);
        ASSERT_EQ(IPC_OpenRespondent("Mif", onSurvey), IPC_OK);
    }

    // Surveys until the respondent has seen one (its connection may still
    // be coming up when the first goes out).
    bool surveyReaches(uint32_t code, size_t seen)
    {
        char byte = 'q';
        for (int i = 0; i < 30 && gSurveys.count() < seen; ++i) {
            if (IPC_Survey(SurveyHeader{9, code}, &byte, 1) != IPC_OK)
                return false;
            waitUntil([&] { return gSurveys.count() >= seen; }, 100);
        }
        return gSurveys.count() >= seen;
    }
};

TEST_F(IpcSurvey, RespondentAnswersEverySurvey)
{
    // Several surveys in a row: the surveyor's receiver sleeps in between
    // and must be woken for each.
    for (uint32_t code = 1; code <= 4; ++code) {
        ASSERT_TRUE(surveyReaches(code, 1)) << code;
        ASSERT_TRUE(waitUntil([] { return gResponses.count() > 0; })) << code;
        ResponseHeader r = headerOf<ResponseHeader>(gResponses.at(0));
        EXPECT_EQ(r.respondentId, 5u);
        EXPECT_EQ(r.responseWord, 42u);
        EXPECT_EQ(r.surveyCode, code);
        EXPECT_EQ(r.status, 0u);
        Seen s = gResponses.at(0);
        EXPECT_EQ(s.len, 3);
        EXPECT_STREQ(s.msg.data() + 16, "ok");

        Seen survey = gSurveys.at(0);
        EXPECT_EQ(survey.len, 1);
        gSurveys.clear();
        gResponses.clear();
    }
}

TEST_F(IpcSurvey, DeferredAnswerIsSentLaterWithRespond)
{
    gAnswerStatus = IPC_RESPONSE_DEFERRED;
    ASSERT_EQ(IPC_SetSurveyDeadline(1500), IPC_OK);  // room for the late answer
    ASSERT_TRUE(surveyReaches(7, 1));
    // Nothing comes back within the deadline.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(gResponses.count(), 0u);

    ResponseHeader late{};
    late.responseWord = 43;
    late.surveyCode = 7;
    ASSERT_EQ(IPC_Respond("Mif", late, "later", 6), IPC_OK);
    ASSERT_TRUE(waitUntil([] { return gResponses.count() > 0; }));
    ResponseHeader r = headerOf<ResponseHeader>(gResponses.at(0));
    EXPECT_EQ(r.respondentId, 5u);
    EXPECT_EQ(r.responseWord, 43u);
    EXPECT_EQ(r.surveyCode, 7u);
    EXPECT_STREQ(gResponses.at(0).msg.data() + 16, "later");

    EXPECT_EQ(IPC_Respond("Mcl", late, nullptr, 0), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_Respond(nullptr, late, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Respond("Mif", late, nullptr, 2), IPC_BAD_ARGUMENT);
}

TEST_F(IpcSurvey, SurveyArgumentsAndDeadline)
{
    EXPECT_EQ(IPC_Survey(SurveyHeader{1, 1}, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_SetSurveyDeadline(200), IPC_OK);
    EXPECT_EQ(IPC_SetSurveyDeadline(-1), IPC_BAD_ARGUMENT);
    ASSERT_TRUE(surveyReaches(3, 1));
    ASSERT_TRUE(waitUntil([] { return gResponses.count() > 0; }));

    ASSERT_EQ(IPC_CloseSurveyor(), IPC_OK);
    char byte = 0;
    EXPECT_EQ(IPC_Survey(SurveyHeader{1, 1}, &byte, 1), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_SetSurveyDeadline(200), IPC_NO_ENDPOINT);
    ASSERT_EQ(IPC_CloseRespondent("Mif"), IPC_OK);
}

}  // namespace
