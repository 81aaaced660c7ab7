// Pictures: PNG data made here decodes to premultiplied pixels, DIB data of each
// depth decodes row by row, and broken data of either kind raises without
// touching the picture.
#include "classlib/exception.h"
#include "classlib/picture.h"
#include "classlib/resourcestream.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes EncodePng(int width, int height, uint32_t format, const void* pixels, const void* colormap = nullptr,
                int colormapEntries = 0)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    image.colormap_entries = colormapEntries;
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels, 0, colormap));
    Bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels, 0, colormap));
    out.resize(size);
    return out;
}

// A 1x1 red picture to show that failed loads leave the picture alone.
TPicture RedDot()
{
    const uint8_t red[] = {255, 0, 0, 255};
    Bytes png = EncodePng(1, 1, PNG_FORMAT_RGBA, red);
    TPicture picture;
    picture.LoadPng(png.data(), png.size());
    return picture;
}

struct PngCase {
    const char* name;
    uint32_t format;
    Bytes pixels;                    // 2 x 2 in the format's layout (indexes for a colour map)
    Bytes colormap;                  // RGBA entries, or empty
    std::vector<uint32_t> expected;  // 0xAARRGGBB premultiplied, row by row
};

class PngDecode : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngDecode, GivesPremultipliedPixels)
{
    const PngCase& c = GetParam();
    Bytes png = EncodePng(2, 2, c.format, c.pixels.data(), c.colormap.empty() ? nullptr : c.colormap.data(),
                          static_cast<int>(c.colormap.size() / 4));
    TPicture picture;
    picture.LoadPng(png.data(), png.size());
    ASSERT_EQ(picture.Width(), 2);
    ASSERT_EQ(picture.Height(), 2);
    EXPECT_FALSE(picture.IsBitmap());
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(picture.Pixel(i % 2, i / 2), c.expected[i]) << "pixel " << i;
}

INSTANTIATE_TEST_SUITE_P(
    ColourTypes, PngDecode,
    ::testing::Values(
        // Opaque red; 40% alpha scales 100,200,50 to 40,80,20; fully transparent is all zero.
        PngCase{"Rgba",
                PNG_FORMAT_RGBA,
                {255, 0, 0, 255, 100, 200, 50, 102, 10, 20, 30, 0, 255, 255, 255, 128},
                {},
                {0xFFFF0000, 0x66285014, 0x00000000, 0x80808080}},
        PngCase{"GrayAlpha",
                PNG_FORMAT_GA,
                {200, 255, 255, 51, 0, 0, 90, 255},
                {},
                {0xFFC8C8C8, 0x33333333, 0x00000000, 0xFF5A5A5A}},
        PngCase{"Rgb",
                PNG_FORMAT_RGB,
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 250, 251, 252},
                {},
                {0xFF010203, 0xFF040506, 0xFF070809, 0xFFFAFBFC}},
        // A palette whose first entry is transparent.
        PngCase{"Palette",
                PNG_FORMAT_RGBA_COLORMAP,
                {0, 1, 1, 0},
                {0, 0, 255, 0, 0, 128, 0, 255},
                {0x00000000, 0xFF008000, 0xFF008000, 0x00000000}}),
    [](const auto& info) { return std::string(info.param.name); });

// Sets the IHDR width (with a fresh CRC) of a PNG.
Bytes WithWidth(Bytes png, uint32_t width)
{
    const size_t ihdrType = 12, ihdrData = 16;
    png[ihdrData + 0] = uint8_t(width >> 24);
    png[ihdrData + 1] = uint8_t(width >> 16);
    png[ihdrData + 2] = uint8_t(width >> 8);
    png[ihdrData + 3] = uint8_t(width);
    uint32_t crc = crc32(0, &png[ihdrType], 4 + 13);
    for (int i = 0; i < 4; i++)
        png[ihdrData + 13 + i] = uint8_t(crc >> (24 - 8 * i));
    return png;
}

TEST(PngDecodeErrors, BrokenDataRaisesAndKeepsThePicture)
{
    std::vector<uint8_t> pixels(16 * 16 * 4, 0x7F);
    Bytes good = EncodePng(16, 16, PNG_FORMAT_RGBA, pixels.data());
    Bytes flipped = good;
    flipped[good.size() / 2] ^= 0x55;  // inside the image data: its CRC fails
    Bytes notPng = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct {
        const char* what;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"signature only", Bytes(good.begin(), good.begin() + 8)},
        {"cut inside the header", Bytes(good.begin(), good.begin() + 20)},
        {"cut inside the image data", Bytes(good.begin(), good.begin() + good.size() / 2)},
        {"a corrupted byte", flipped},
        {"not a PNG", notPng},
        {"too wide", WithWidth(good, 100000)},
        {"zero wide", WithWidth(good, 0)},
    };
    for (const auto& c : cases) {
        TPicture picture = RedDot();
        EXPECT_THROW(picture.LoadPng(c.data.data(), c.data.size()), EInvalidGraphic) << c.what;
        ASSERT_EQ(picture.Width(), 1) << c.what;
        EXPECT_EQ(picture.Pixel(0, 0), 0xFFFF0000u) << c.what;
    }
    TPicture picture;
    EXPECT_THROW(picture.LoadPng(nullptr, 10), EInvalidGraphic);
}

// DIB data: a BITMAPINFOHEADER, the colour table, the bits.
Bytes Dib(int width, int height, int bitCount, const std::vector<uint32_t>& palette, const Bytes& bits,
          DWORD compression = BI_RGB)
{
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bitCount);
    header.biCompression = compression;
    header.biClrUsed = static_cast<DWORD>(palette.size());
    Bytes out(sizeof header);
    memcpy(out.data(), &header, sizeof header);
    for (uint32_t colour : palette) {
        for (int i = 0; i < 4; i++)
            out.push_back(uint8_t(colour >> (8 * i)));  // blue, green, red, 0
    }
    out.insert(out.end(), bits.begin(), bits.end());
    return out;
}

struct DibCase {
    const char* name;
    Bytes dib;
    int width, height;
    std::vector<uint32_t> expected;  // row by row, top first
};

class DibDecode : public ::testing::TestWithParam<DibCase> {};

TEST_P(DibDecode, GivesOpaquePixelsTopDown)
{
    const DibCase& c = GetParam();
    TPicture picture;
    picture.LoadDib(c.dib.data(), c.dib.size());
    ASSERT_EQ(picture.Width(), c.width);
    ASSERT_EQ(picture.Height(), c.height);
    EXPECT_TRUE(picture.IsBitmap());
    for (size_t i = 0; i < c.expected.size(); i++)
        EXPECT_EQ(picture.Pixel(int(i) % c.width, int(i) / c.width), c.expected[i]) << "pixel " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Depths, DibDecode,
    ::testing::Values(
        // Bottom-up rows padded to 4 bytes: the first row stored is the lowest.
        DibCase{"Bgr24BottomUp",
                Dib(2, 2, 24, {}, {1, 2, 3, 4, 5, 6, 0, 0, 10, 20, 30, 40, 50, 60, 0, 0}),
                2,
                2,
                {0xFF1E140A, 0xFF3C3228, 0xFF030201, 0xFF060504}},
        // A negative height is top down; the fourth byte is not an alpha channel.
        DibCase{
            "Bgra32TopDown", Dib(1, -2, 32, {}, {1, 2, 3, 0, 4, 5, 6, 9}), 1, 2, {0xFF030201, 0xFF060504}},
        DibCase{"Palette8",
                Dib(3, 1, 8, {0x0000FF, 0x00FF00}, {1, 0, 7, 0}),
                3,
                1,
                {0xFF00FF00, 0xFF0000FF, 0xFF0000FF}},  // index 7 lies outside: the first colour
        DibCase{"Palette4",
                Dib(3, 1, 4, {0x111111, 0x222222, 0x333333}, {0x12, 0x00, 0, 0}),
                3,
                1,
                {0xFF222222, 0xFF333333, 0xFF111111}},
        DibCase{"Mono9Wide",
                Dib(9, 1, 1, {0x000000, 0xFFFFFF}, {0xA0, 0x80, 0, 0}),
                9,
                1,
                {0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000,
                 0xFF000000, 0xFFFFFFFF}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DibDecodeErrors, BrokenDataRaisesAndKeepsThePicture)
{
    Bytes good = Dib(2, 2, 24, {}, Bytes(16, 0));
    Bytes shortHeader(good.begin(), good.begin() + 20);
    Bytes shortBits(good.begin(), good.end() - 1);
    Bytes tooManyColours = Dib(1, 1, 8, std::vector<uint32_t>(257, 0), Bytes(4, 0));
    struct {
        const char* what;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"short header", shortHeader},
        {"bits cut by one byte", shortBits},
        {"16 bits per pixel", Dib(2, 2, 16, {}, Bytes(16, 0))},
        {"run-length compressed", Dib(2, 2, 8, {0}, Bytes(16, 0), BI_RLE8)},
        {"zero wide", Dib(0, 2, 24, {}, Bytes(16, 0))},
        {"too high", Dib(1, TPicture::MaxSide + 1, 24, {}, Bytes(4 * (TPicture::MaxSide + 1), 0))},
        {"most negative height", Dib(1, INT32_MIN, 24, {}, Bytes(4, 0))},
        {"more colours than the depth has", tooManyColours},
    };
    for (const auto& c : cases) {
        TPicture picture = RedDot();
        EXPECT_THROW(picture.LoadDib(c.data.data(), c.data.size()), EInvalidGraphic) << c.what;
        EXPECT_EQ(picture.Width(), 1) << c.what;
    }
}

TEST(PictureCopies, ColourKeyAndMirror)
{
    // Bottom-left is white: every white pixel becomes transparent.
    Bytes dib = Dib(2, 2, 24, {}, {255, 255, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0});
    TPicture picture;
    picture.LoadDib(dib.data(), dib.size());
    TPicture keyed = picture.WithColorKeyBottomLeft();
    EXPECT_EQ(keyed.Pixel(0, 0), 0xFF0000FFu);
    EXPECT_EQ(keyed.Pixel(1, 0), 0u);
    EXPECT_EQ(keyed.Pixel(0, 1), 0u);
    EXPECT_EQ(keyed.Pixel(1, 1), 0xFFFF0000u);

    TPicture mirrored = picture.FlippedHorizontally();
    EXPECT_EQ(mirrored.Pixel(0, 0), picture.Pixel(1, 0));
    EXPECT_EQ(mirrored.Pixel(1, 1), picture.Pixel(0, 1));
    EXPECT_TRUE(TPicture().WithColorKeyBottomLeft().Empty());
}

TEST(Resources, FoundByIdOrRaiseNotFound)
{
    HINSTANCE self = GetModuleHandleW(nullptr);
    TResourceStream stream(self, 4711, ResourceTypeBinRes);
    ASSERT_EQ(stream.Size(), 4u);
    EXPECT_EQ(memcmp(stream.Memory(), "abcd", 4), 0);
    EXPECT_THROW(TResourceStream(self, 4712, ResourceTypeBinRes), EResNotFound);
    TPicture picture;
    EXPECT_THROW(picture.LoadBitmapResource(self, 4713), EResNotFound);
}

}  // namespace
