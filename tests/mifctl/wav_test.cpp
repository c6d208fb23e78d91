// Sound files: WAV headers checked, raw PCM taken as it is.
#include <gtest/gtest.h>

#include <unistd.h>

#include "wav.h"
#include "wav_maker.h"

namespace {

struct TempFile {
    std::string path;
    explicit TempFile(const std::vector<uint8_t> &bytes)
    {
        char name[] = "/tmp/mifctl-wavXXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            if (write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()))
                path = name;
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
};

const std::vector<uint8_t> kSamples = {1, 2, 3, 4, 5, 6, 7, 8};

bool locate(const std::vector<uint8_t> &file, SoundSamples *samples, std::string *error)
{
    TempFile temp(file);
    EXPECT_FALSE(temp.path.empty());
    return locateSamples(temp.path, samples, error);
}

TEST(Wav, FindsTheSamplesOfA48kMono16BitFile)
{
    SoundSamples samples;
    std::string error;
    std::vector<uint8_t> file = makeWav({}, kSamples);
    ASSERT_TRUE(locate(file, &samples, &error)) << error;
    EXPECT_TRUE(samples.wav);
    EXPECT_EQ(samples.offset, 44u);
    EXPECT_EQ(samples.size, 8u);

    // Chunks before the samples, padded to even sizes, are stepped over.
    WavShape withList;
    withList.listChunk = true;
    file = makeWav(withList, kSamples);
    ASSERT_TRUE(locate(file, &samples, &error)) << error;
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + long(samples.offset), file.begin() + long(samples.offset + samples.size)),
              kSamples);

    WavShape extensible;
    extensible.extensible = true;
    ASSERT_TRUE(locate(makeWav(extensible, kSamples), &samples, &error)) << error;
    EXPECT_EQ(samples.size, 8u);

    // A recorder that never filled in the size: the samples run to the end.
    WavShape open;
    open.openDataSize = true;
    ASSERT_TRUE(locate(makeWav(open, kSamples), &samples, &error)) << error;
    EXPECT_EQ(samples.size, 8u);
}

TEST(Wav, RefusesOtherFormatsSayingWhatTheyAre)
{
    SoundSamples samples;
    std::string error;
    WavShape cd;
    cd.rate = 44100;
    EXPECT_FALSE(locate(makeWav(cd, kSamples), &samples, &error));
    EXPECT_NE(error.find("44100 Hz, mono, 16-bit"), std::string::npos) << error;
    EXPECT_NE(error.find("48000 Hz mono"), std::string::npos) << error;

    WavShape stereo;
    stereo.channels = 2;
    EXPECT_FALSE(locate(makeWav(stereo, kSamples), &samples, &error));
    EXPECT_NE(error.find("stereo"), std::string::npos) << error;

    WavShape eight;
    eight.bits = 8;
    EXPECT_FALSE(locate(makeWav(eight, kSamples), &samples, &error));

    WavShape floating;
    floating.format = 3;
    floating.bits = 32;
    EXPECT_FALSE(locate(makeWav(floating, kSamples), &samples, &error));
    EXPECT_NE(error.find("not integer PCM"), std::string::npos) << error;

    floating.extensible = true;
    EXPECT_FALSE(locate(makeWav(floating, kSamples), &samples, &error));

    std::vector<uint8_t> notWave = makeWav({}, kSamples);
    notWave[8] = 'X';
    EXPECT_FALSE(locate(notWave, &samples, &error));
    EXPECT_FALSE(locate(makeWav({}, {}), &samples, &error));
}

TEST(Wav, TakesRawPcmOfWholeSamples)
{
    SoundSamples samples;
    std::string error;
    ASSERT_TRUE(locate({1, 2, 3, 4}, &samples, &error)) << error;
    EXPECT_FALSE(samples.wav);
    EXPECT_EQ(samples.offset, 0u);
    EXPECT_EQ(samples.size, 4u);
    EXPECT_FALSE(locate({1, 2, 3}, &samples, &error));
    EXPECT_NE(error.find("not whole samples"), std::string::npos) << error;
    EXPECT_FALSE(locate({}, &samples, &error));
    EXPECT_FALSE(locateSamples("/nonexistent.wav", &samples, &error));
}

} // namespace
