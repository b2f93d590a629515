// Images written by the capture and by lumenar-render: rows bottom-up in
// memory, top row first in the file; failures are reported.
#include "app/image_output.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace lumenar;

TEST(ImageOutput, PngHoldsTheBytesWithTheTopRowFirst) {
    const int w = 3, h = 2;
    // Row 0 (the bottom) red-ish, row 1 (the top) blue-ish; every byte distinct.
    std::vector<uint8_t> rgb(w * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(10 * i + 5);
    const std::string path = testing::TempDir() + "lumenar_image_output_" + std::to_string(getpid()) + ".png";
    ASSERT_TRUE(writePngBottomUp(path, w, h, rgb));

    auto in = OIIO::ImageInput::open(path);
    ASSERT_TRUE(in) << OIIO::geterror();
    EXPECT_EQ(in->format_name(), std::string("png"));
    ASSERT_EQ(in->spec().width, w);
    ASSERT_EQ(in->spec().height, h);
    ASSERT_EQ(in->spec().nchannels, 3);
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT8);
    std::vector<uint8_t> file(rgb.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, file.data()));
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 3; ++i)
            EXPECT_EQ(file[y * w * 3 + i], rgb[(h - 1 - y) * w * 3 + i]) << y << " " << i;
}

TEST(ImageOutput, FailuresAreReported) {
    std::vector<uint8_t> rgb(4 * 4 * 3, 7);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writePngBottomUp(testing::TempDir() + "no/such/folder/capture.png", 4, 4, rgb));
    EXPECT_FALSE(writePngBottomUp(testing::TempDir() + "short.png", 4, 5, rgb));  // too few bytes
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no/such/folder/capture.png"), std::string::npos) << err;
    EXPECT_NE(err.find("short.png"), std::string::npos) << err;
}
