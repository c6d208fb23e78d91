// PNG and raw pictures for the display.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "image.h"
#include "png_maker.h"

namespace {

const uint8_t *pixelAt(const std::vector<uint8_t> &frame, int x, int y)
{
    return &frame[(size_t(y) * DISPLAY_WIDTH + size_t(x)) * DISPLAY_BYTES_PER_PIXEL];
}

TEST(Image, ConvertsADisplaySizedPngPixelForPixel)
{
    // A gradient, so a row or colour mix-up shows.
    std::vector<uint8_t> rgb(size_t(DISPLAY_WIDTH) * DISPLAY_HEIGHT * 3);
    for (int y = 0; y < DISPLAY_HEIGHT; y++)
        for (int x = 0; x < DISPLAY_WIDTH; x++) {
            uint8_t *p = &rgb[(size_t(y) * DISPLAY_WIDTH + size_t(x)) * 3];
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = uint8_t(x + y);
        }
    std::vector<uint8_t> png = makePng(DISPLAY_WIDTH, DISPLAY_HEIGHT, PNG_FORMAT_RGB, rgb);
    ASSERT_FALSE(png.empty());
    std::vector<uint8_t> frame;
    std::string error;
    ASSERT_TRUE(pngToFrame(png.data(), png.size(), false, "p.png", &frame, &error)) << error;
    ASSERT_EQ(frame.size(), 522240u);
    for (int y = 0; y < DISPLAY_HEIGHT; y += 37)
        for (int x = 0; x < DISPLAY_WIDTH; x += 41) {
            const uint8_t *p = pixelAt(frame, x, y);
            EXPECT_EQ(p[0], uint8_t(x + y)) << x << "," << y;  // blue
            EXPECT_EQ(p[1], uint8_t(y));                      // green
            EXPECT_EQ(p[2], uint8_t(x));                      // red
            EXPECT_EQ(p[3], 0xFF);
        }
}

TEST(Image, RefusesOtherSizesUnlessAskedToScale)
{
    std::vector<uint8_t> png = makePng(100, 50, PNG_FORMAT_RGB, solidRgb(100, 50, 200, 100, 50));
    std::vector<uint8_t> frame;
    std::string error;
    EXPECT_FALSE(pngToFrame(png.data(), png.size(), false, "small.png", &frame, &error));
    EXPECT_NE(error.find("small.png is 100x50"), std::string::npos) << error;
    EXPECT_NE(error.find("--scale"), std::string::npos);

    // Fitted: 100x50 grows to 480x240, centred with 16 black rows above and below.
    ASSERT_TRUE(pngToFrame(png.data(), png.size(), true, "small.png", &frame, &error)) << error;
    ASSERT_EQ(frame.size(), 522240u);
    for (int y : {0, 15, 256, 271}) {
        const uint8_t *p = pixelAt(frame, 240, y);
        EXPECT_EQ(p[0] | p[1] | p[2], 0) << "row " << y << " is a black bar";
    }
    for (int y : {16, 136, 255})
        for (int x : {0, 240, 479}) {
            const uint8_t *p = pixelAt(frame, x, y);
            EXPECT_EQ(p[2], 200) << x << "," << y;
            EXPECT_EQ(p[1], 100);
            EXPECT_EQ(p[0], 50);
        }

    // Shrinking averages: a 960x544 checkerboard of single pixels turns grey.
    std::vector<uint8_t> board(960 * 544 * 3);
    for (int y = 0; y < 544; y++)
        for (int x = 0; x < 960; x++)
            for (int c = 0; c < 3; c++)
                board[(size_t(y) * 960 + size_t(x)) * 3 + size_t(c)] = (x + y) % 2 ? 255 : 0;
    png = makePng(960, 544, PNG_FORMAT_RGB, board);
    ASSERT_TRUE(pngToFrame(png.data(), png.size(), true, "big.png", &frame, &error)) << error;
    EXPECT_NEAR(pixelAt(frame, 100, 100)[0], 128, 1);
}

TEST(Image, ShowsTransparencyOnBlackAndReadsGreyPictures)
{
    std::vector<uint8_t> rgba(size_t(DISPLAY_WIDTH) * DISPLAY_HEIGHT * 4, 255);
    for (size_t i = 3; i < rgba.size(); i += 4)
        rgba[i] = 0;  // fully transparent white
    std::vector<uint8_t> png = makePng(DISPLAY_WIDTH, DISPLAY_HEIGHT, PNG_FORMAT_RGBA, rgba);
    std::vector<uint8_t> frame;
    std::string error;
    ASSERT_TRUE(pngToFrame(png.data(), png.size(), false, "a.png", &frame, &error)) << error;
    EXPECT_EQ(pixelAt(frame, 10, 10)[0] | pixelAt(frame, 10, 10)[1] | pixelAt(frame, 10, 10)[2], 0);

    std::vector<uint8_t> grey(size_t(DISPLAY_WIDTH) * DISPLAY_HEIGHT, 77);
    png = makePng(DISPLAY_WIDTH, DISPLAY_HEIGHT, PNG_FORMAT_GRAY, grey);
    ASSERT_TRUE(pngToFrame(png.data(), png.size(), false, "g.png", &frame, &error)) << error;
    // libpng works in linear light for grey-to-colour; allow its rounding.
    EXPECT_NEAR(pixelAt(frame, 5, 5)[0], 77, 1);
    EXPECT_EQ(pixelAt(frame, 5, 5)[0], pixelAt(frame, 5, 5)[2]);

    std::vector<uint8_t> broken = png;
    broken.resize(broken.size() / 2);
    EXPECT_FALSE(pngToFrame(broken.data(), broken.size(), false, "b.png", &frame, &error));
    EXPECT_NE(error.find("b.png is not a readable PNG"), std::string::npos) << error;
}

std::string writeTemp(const std::vector<uint8_t> &bytes)
{
    char path[] = "/tmp/mifctl-imgXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    bool ok = write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    close(fd);
    return ok ? path : "";
}

TEST(Image, TakesAnExactRawFrameUnchangedAndNothingElse)
{
    std::vector<uint8_t> raw(DISPLAY_FRAME_SIZE);
    for (size_t i = 0; i < raw.size(); i++)
        raw[i] = uint8_t(i * 7);
    std::string path = writeTemp(raw);
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> frame;
    std::string error;
    ASSERT_TRUE(loadDisplayImage(path, false, &frame, &error)) << error;
    EXPECT_EQ(frame, raw);
    unlink(path.c_str());

    raw.pop_back();
    path = writeTemp(raw);
    EXPECT_FALSE(loadDisplayImage(path, true, &frame, &error));
    EXPECT_NE(error.find("522239 bytes"), std::string::npos) << error;
    unlink(path.c_str());

    std::vector<uint8_t> png = makePng(2, 2, PNG_FORMAT_RGB, solidRgb(2, 2, 1, 2, 3));
    path = writeTemp(png);
    ASSERT_TRUE(loadDisplayImage(path, true, &frame, &error)) << error;
    EXPECT_EQ(pixelAt(frame, 240, 136)[2], 1);
    unlink(path.c_str());

    EXPECT_FALSE(loadDisplayImage("/nonexistent.png", false, &frame, &error));
}

} // namespace
