// Pictures: PNG decoding through libpng, bitmaps from DIB data and resources.
#include "classlib/picture.h"

#include "classlib/exception.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace {

uint32_t Premultiplied(unsigned blue, unsigned green, unsigned red, unsigned alpha)
{
    auto scale = [alpha](unsigned c) { return (c * alpha + 127) / 255; };
    return (alpha << 24) | (scale(red) << 16) | (scale(green) << 8) | scale(blue);
}

// Frees the libpng read state on every path.
struct PngImage {
    png_image image;
    PngImage()
    {
        memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
};

struct DibLayout {
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    int bitCount = 0;
    size_t paletteOffset = 0;
    size_t paletteCount = 0;
    size_t bitsOffset = 0;
    size_t stride = 0;
};

DibLayout ReadDibLayout(const void* data, size_t size)
{
    BITMAPINFOHEADER header;
    if (!data || size < sizeof header)
        throw EInvalidGraphic("Bitmap image is not valid");
    memcpy(&header, data, sizeof header);
    DibLayout layout;
    layout.width = header.biWidth;
    layout.bottomUp = header.biHeight > 0;
    int64_t height = header.biHeight;
    layout.height = static_cast<int>(height > 0 ? height : (height < -TPicture::MaxSide ? 0 : -height));
    layout.bitCount = header.biBitCount;
    bool knownDepth = layout.bitCount == 1 || layout.bitCount == 4 || layout.bitCount == 8 ||
                      layout.bitCount == 24 || layout.bitCount == 32;
    if (header.biSize < sizeof header || header.biSize > size || header.biPlanes != 1 || !knownDepth ||
        header.biCompression != BI_RGB || layout.width <= 0 || layout.width > TPicture::MaxSide ||
        layout.height <= 0 || layout.height > TPicture::MaxSide)
        throw EInvalidGraphic("Bitmap image is not valid");
    layout.paletteOffset = header.biSize;
    if (layout.bitCount <= 8) {
        size_t maxColours = size_t(1) << layout.bitCount;
        layout.paletteCount = header.biClrUsed ? header.biClrUsed : maxColours;
        if (layout.paletteCount > maxColours)
            throw EInvalidGraphic("Bitmap image is not valid");
    }
    layout.bitsOffset = layout.paletteOffset + layout.paletteCount * sizeof(RGBQUAD);
    layout.stride = ((static_cast<size_t>(layout.width) * layout.bitCount + 31) / 32) * 4;
    if (layout.bitsOffset > size || (size - layout.bitsOffset) / layout.stride < size_t(layout.height))
        throw EInvalidGraphic("Bitmap image is not valid");
    return layout;
}

}  // namespace

TPicture::TPicture(const TPicture& source)
    : width_(source.width_), height_(source.height_), isBitmap_(source.isBitmap_), pixels_(source.pixels_)
{}

TPicture& TPicture::operator=(const TPicture& source)
{
    Assign(source);
    return *this;
}

void TPicture::Clear()
{
    Set(0, 0, {}, false);
}

void TPicture::Assign(const TPicture& source)
{
    if (&source != this)
        Set(source.width_, source.height_, source.pixels_, source.isBitmap_);
}

void TPicture::Set(int width, int height, std::vector<uint32_t> pixels, bool isBitmap)
{
    width_ = width;
    height_ = height;
    pixels_ = std::move(pixels);
    isBitmap_ = isBitmap;
    if (OnChange)
        OnChange();
}

void TPicture::LoadPng(const void* data, size_t size)
{
    PngImage png;
    if (!data || size == 0 || !png_image_begin_read_from_memory(&png.image, data, size))
        throw EInvalidGraphic("PNG image is not valid");
    if (png.image.width == 0 || png.image.width > unsigned(MaxSide) || png.image.height == 0 ||
        png.image.height > unsigned(MaxSide))
        throw EInvalidGraphic("PNG image is too large");
    png.image.format = PNG_FORMAT_BGRA;
    int width = png.image.width, height = png.image.height;
    std::vector<uint8_t> straight(PNG_IMAGE_SIZE(png.image));
    if (!png_image_finish_read(&png.image, nullptr, straight.data(), 0, nullptr))
        throw EInvalidGraphic("PNG image is not valid");

    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); i++) {
        const uint8_t* p = &straight[i * 4];
        pixels[i] = Premultiplied(p[0], p[1], p[2], p[3]);
    }
    Set(width, height, std::move(pixels), false);
}

void TPicture::LoadDib(const void* data, size_t size)
{
    DibLayout layout = ReadDibLayout(data, size);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint8_t* palette = bytes + layout.paletteOffset;
    std::vector<uint32_t> pixels(static_cast<size_t>(layout.width) * layout.height);
    for (int y = 0; y < layout.height; y++) {
        int sourceRow = layout.bottomUp ? layout.height - 1 - y : y;
        const uint8_t* row = bytes + layout.bitsOffset + sourceRow * layout.stride;
        for (int x = 0; x < layout.width; x++) {
            const uint8_t* bgr;
            if (layout.bitCount >= 24) {
                bgr = row + x * (layout.bitCount / 8);
            } else {
                int perByte = 8 / layout.bitCount;
                int shift = 8 - layout.bitCount * (x % perByte + 1);
                unsigned index = (row[x / perByte] >> shift) & ((1u << layout.bitCount) - 1);
                if (index >= layout.paletteCount)
                    index = 0;  // out of the table: its first colour, never outside the data
                bgr = palette + index * sizeof(RGBQUAD);
            }
            pixels[static_cast<size_t>(y) * layout.width + x] = Premultiplied(bgr[0], bgr[1], bgr[2], 255);
        }
    }
    Set(layout.width, layout.height, std::move(pixels), true);
}

void TPicture::LoadBitmapResource(HINSTANCE module, int id)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(2) /* RT_BITMAP */);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        throw EResNotFound("Resource " + std::to_string(id) + " not found");
    LoadDib(data, SizeofResource(module, found));
}

TPicture TPicture::WithColorKeyBottomLeft() const
{
    TPicture keyed;
    keyed.Assign(*this);
    if (Empty())
        return keyed;
    uint32_t key = Pixel(0, height_ - 1);
    for (uint32_t& pixel : keyed.pixels_) {
        if (pixel == key)
            pixel = 0;
    }
    return keyed;
}

TPicture TPicture::FlippedHorizontally() const
{
    TPicture flipped;
    flipped.Assign(*this);
    for (int y = 0; y < height_; y++) {
        uint32_t* row = &flipped.pixels_[static_cast<size_t>(y) * width_];
        std::reverse(row, row + width_);
    }
    return flipped;
}
