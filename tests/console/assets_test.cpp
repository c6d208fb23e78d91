// The page built into the console, and mifctl's preparation as the console
// uses it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "assets.h"
#include "catalog.h"
#include "run.h"

static std::string assetText(const char *url)
{
    const Asset *asset = findAsset(url);
    return asset ? std::string(reinterpret_cast<const char *>(asset->data), asset->size) : std::string();
}

TEST(ConsoleAssets, ThePageNeedsNothingFromTheNetwork)
{
    for (const char *url : {"/", "/app.js", "/style.css"}) {
        const std::string text = assetText(url);
        ASSERT_FALSE(text.empty()) << url;
        EXPECT_EQ(text.find("://"), std::string::npos) << url << " refers to another site";
    }
    // Everything the page loads is served by the console, with the token.
    const std::string html = assetText("/");
    for (const char *url : {"dygraph.min.js", "dygraph.min.css", "app.js", "style.css"}) {
        EXPECT_NE(html.find(std::string(url) + "?token=__CONSOLE_TOKEN__"), std::string::npos) << url;
        EXPECT_NE(findAsset(("/" + std::string(url)).c_str()), nullptr) << url;
    }
    EXPECT_GT(assetText("/dygraph.min.js").size(), 10000u);
    EXPECT_EQ(findAsset("/../etc/passwd"), nullptr);
    EXPECT_STREQ(findAsset("/")->kind, "html");
}

TEST(ConsolePreparation, MistakesComeBackAsTextNotOnStandardError)
{
    Invocation inv;
    inv.kind = INVOKE_ALIAS;
    inv.alias = findAlias("set-log");
    inv.args = {"nosuchlog", "/dev/null"};
    PreparedRequest prepared;
    std::string message;
    testing::internal::CaptureStderr();
    EXPECT_EQ(prepareInvocation(inv, &prepared, &message), EXIT_USAGE);
    inv.alias = findAlias("display-img");
    inv.args = {"/nonexistent/picture.png"};
    std::string second;
    EXPECT_EQ(prepareInvocation(inv, &prepared, &second), EXIT_USAGE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(message.find("no log named \"nosuchlog\""), std::string::npos) << message;
    EXPECT_NE(second.find("/nonexistent/picture.png"), std::string::npos) << second;

    // mifctl's own call still prints.
    testing::internal::CaptureStderr();
    EXPECT_EQ(prepareInvocation(inv, &prepared), EXIT_USAGE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("mifctl: "), std::string::npos);
}
