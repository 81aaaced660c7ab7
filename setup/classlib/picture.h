// A picture: 32-bit premultiplied BGRA pixels decoded from PNG data or from a
// device-independent bitmap.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

class TPicture {
public:
    // Largest width or height accepted from any image data.
    static const int MaxSide = 4096;

    TPicture() = default;
    // Copies the pixels, not the change handler.
    TPicture(const TPicture& source);
    TPicture& operator=(const TPicture& source);

    // Called after every change of the pixels.
    std::function<void()> OnChange;

    int Width() const { return width_; }
    int Height() const { return height_; }
    bool Empty() const { return width_ == 0 || height_ == 0; }
    // True for a picture from a bitmap: it has no alpha channel of its own,
    // and a transparent image leaves out the colour of its bottom-left pixel.
    bool IsBitmap() const { return isBitmap_; }
    // Rows top down, each pixel 0xAARRGGBB with the colours premultiplied by alpha.
    const std::vector<uint32_t>& Pixels() const { return pixels_; }
    uint32_t Pixel(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }

    void Clear();
    void Assign(const TPicture& source);

    // Decodes PNG data (any colour type and depth, interlaced or not). Raises
    // EInvalidGraphic for data that is not a whole valid PNG; the picture is
    // then unchanged.
    void LoadPng(const void* data, size_t size);
    // Decodes a BITMAPINFOHEADER with its colour table and bits (1, 4, 8, 24
    // or 32 bits per pixel, uncompressed). Raises EInvalidGraphic for anything
    // else or when the bits do not fit in size; the picture is then unchanged.
    void LoadDib(const void* data, size_t size);
    // Loads the bitmap resource id of module. Raises EResNotFound when the
    // module holds no such bitmap.
    void LoadBitmapResource(HINSTANCE module, int id);

    // A copy in which every pixel of the bottom-left pixel's colour is fully
    // transparent.
    TPicture WithColorKeyBottomLeft() const;
    // A copy flipped left to right.
    TPicture FlippedHorizontally() const;

private:
    void Set(int width, int height, std::vector<uint32_t> pixels, bool isBitmap);

    int width_ = 0;
    int height_ = 0;
    bool isBitmap_ = false;
    std::vector<uint32_t> pixels_;
};
