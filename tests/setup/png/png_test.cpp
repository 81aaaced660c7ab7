// libpng and zlib, cross-built: a small RGBA image written to memory decodes back
// to the same pixels.
#include <png.h>
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {

struct Buffer {
    std::vector<unsigned char> bytes;
    size_t readAt = 0;
};

void WriteToBuffer(png_structp png, png_bytep data, png_size_t length)
{
    auto* buffer = static_cast<Buffer*>(png_get_io_ptr(png));
    buffer->bytes.insert(buffer->bytes.end(), data, data + length);
}

void ReadFromBuffer(png_structp png, png_bytep data, png_size_t length)
{
    auto* buffer = static_cast<Buffer*>(png_get_io_ptr(png));
    if (buffer->readAt + length > buffer->bytes.size())
        png_error(png, "read past the end");
    memcpy(data, buffer->bytes.data() + buffer->readAt, length);
    buffer->readAt += length;
}

const int Width = 7, Height = 5;

std::vector<unsigned char> Pixels()
{
    std::vector<unsigned char> pixels(Width * Height * 4);
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i] = static_cast<unsigned char>(i * 37 + 11);
    return pixels;
}

Buffer Encode(const std::vector<unsigned char>& pixels)
{
    Buffer out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "encoding failed";
        return Buffer();
    }
    png_set_write_fn(png, &out, WriteToBuffer, NULL);
    png_set_IHDR(png, info, Width, Height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < Height; y++)
        png_write_row(png, const_cast<png_bytep>(&pixels[y * Width * 4]));
    png_write_end(png, NULL);
    png_destroy_write_struct(&png, &info);
    return out;
}

TEST(PngCodec, RgbaImageRoundTrips)
{
    std::vector<unsigned char> pixels = Pixels();
    Buffer encoded = Encode(pixels);
    ASSERT_GT(encoded.bytes.size(), 8u);
    ASSERT_EQ(png_sig_cmp(encoded.bytes.data(), 0, 8), 0);

    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> decoded(pixels.size());
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, NULL);
        FAIL() << "decoding failed";
    }
    png_set_read_fn(png, &encoded, ReadFromBuffer);
    png_read_info(png, info);
    ASSERT_EQ(png_get_image_width(png, info), (png_uint_32)Width);
    ASSERT_EQ(png_get_image_height(png, info), (png_uint_32)Height);
    ASSERT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_RGB_ALPHA);
    for (int y = 0; y < Height; y++)
        png_read_row(png, &decoded[y * Width * 4], NULL);
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    EXPECT_EQ(decoded, pixels);
}

TEST(PngCodec, TruncatedImageIsAnErrorNotACrash)
{
    Buffer encoded = Encode(Pixels());
    encoded.bytes.resize(encoded.bytes.size() / 2);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(Width * 4);
    volatile bool failed = false;
    if (setjmp(png_jmpbuf(png))) {
        failed = true;
    } else {
        png_set_read_fn(png, &encoded, ReadFromBuffer);
        png_read_info(png, info);
        for (int y = 0; y < Height; y++)
            png_read_row(png, row.data(), NULL);
    }
    png_destroy_read_struct(&png, &info, NULL);
    EXPECT_TRUE(failed);
}

}  // namespace
