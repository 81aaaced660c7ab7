// Draws Setup's pictures (PNG and 24-bit BMP) and the resource script that
// names them. Runs on the build machine; the same program always writes the
// same bytes (no clock, no randomness, fixed encoder settings).
//
//   imagegen <output folder>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgb {
    double r, g, b;
};

// The wizard's colours (as RGB; the program's COLORREFs are 0x00BBGGRR).
const Rgb White = {255, 255, 255};
const Rgb StripBlue = {0, 47, 122};    // 0x7A2F00
const Rgb AccentBlue = {0, 90, 171};   // 0xAB5A00
const Rgb SkyBlue = {120, 184, 255};   // light accent on the dark strip
const Rgb BandGrey = {240, 240, 240};  // 0xF0F0F0
const Rgb BoxGrey = {230, 230, 230};   // 0xE6E6E6, the message box
const Rgb LineGrey = {181, 181, 181};  // 0xB5B5B5
const Rgb DarkGrey = {96, 104, 118};
const Rgb ErrorRed = {208, 48, 48};
const Rgb NearWhite = {250, 251, 253};

using Inside = std::function<bool(double x, double y)>;

// An RGBA picture with premultiplied colours; shapes are blended in with
// coverage measured on a 4 x 4 grid of samples per pixel.
class Picture {
public:
    Picture(int width, int height) : width_(width), height_(height), pixels_(width * height) {}

    int Width() const { return width_; }
    int Height() const { return height_; }

    void Fill(const Inside& inside, Rgb colour, double opacity = 1.0)
    {
        for (int y = 0; y < height_; y++) {
            for (int x = 0; x < width_; x++) {
                int hits = 0;
                for (int sy = 0; sy < 4; sy++) {
                    for (int sx = 0; sx < 4; sx++)
                        hits += inside(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4) ? 1 : 0;
                }
                if (hits)
                    Blend(pixels_[y * width_ + x], colour, opacity * hits / 16.0);
            }
        }
    }

    // 8-bit straight RGBA rows, for PNG.
    std::vector<uint8_t> Rgba() const
    {
        std::vector<uint8_t> out;
        for (const Pixel& p : pixels_) {
            double a = p.a > 0 ? p.a : 1;
            out.push_back(Byte(p.r / a));
            out.push_back(Byte(p.g / a));
            out.push_back(Byte(p.b / a));
            out.push_back(Byte(p.a * 255));
        }
        return out;
    }

    // 8-bit RGB rows for a bitmap shown with its bottom-left colour left out:
    // untouched pixels are pure white (the key); drawn pixels are composed over
    // edge (the colour the picture will lie on) and never come out pure white.
    std::vector<uint8_t> KeyedRgb(Rgb edge) const
    {
        std::vector<uint8_t> out;
        for (const Pixel& p : pixels_) {
            uint8_t rgb[3] = {255, 255, 255};
            if (p.a > 0) {
                rgb[0] = Byte(p.r + edge.r * (1 - p.a));
                rgb[1] = Byte(p.g + edge.g * (1 - p.a));
                rgb[2] = Byte(p.b + edge.b * (1 - p.a));
                if (rgb[0] == 255 && rgb[1] == 255 && rgb[2] == 255)
                    rgb[2] = 254;
            }
            out.insert(out.end(), rgb, rgb + 3);
        }
        return out;
    }

private:
    struct Pixel {
        double r = 0, g = 0, b = 0, a = 0;
    };
    static void Blend(Pixel& p, Rgb colour, double a)
    {
        p.r = colour.r * a + p.r * (1 - a);
        p.g = colour.g * a + p.g * (1 - a);
        p.b = colour.b * a + p.b * (1 - a);
        p.a = a + p.a * (1 - a);
    }
    static uint8_t Byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

    int width_, height_;
    std::vector<Pixel> pixels_;
};

// Shapes.

Inside Rect(double x0, double y0, double x1, double y1)
{
    return [=](double x, double y) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
}

Inside RoundRect(double x0, double y0, double x1, double y1, double r)
{
    return [=](double x, double y) {
        if (x < x0 || x >= x1 || y < y0 || y >= y1)
            return false;
        double cx = std::clamp(x, x0 + r, x1 - r), cy = std::clamp(y, y0 + r, y1 - r);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    };
}

Inside Disc(double cx, double cy, double r)
{
    return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; };
}

Inside Ring(double cx, double cy, double r, double width)
{
    return [=](double x, double y) {
        double d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
        return d <= r && d >= r - width;
    };
}

Inside Minus(Inside a, Inside b)
{
    return [=](double x, double y) { return a(x, y) && !b(x, y); };
}

Inside Union(std::vector<Inside> parts)
{
    return [=](double x, double y) {
        for (const Inside& part : parts) {
            if (part(x, y))
                return true;
        }
        return false;
    };
}

struct Point {
    double x, y;
};

// A line through points, width wide, with round ends and joins.
Inside Stroke(std::vector<Point> points, double width)
{
    double h = width / 2;
    return [=](double x, double y) {
        for (size_t i = 0; i + 1 < points.size(); i++) {
            Point p = points[i], q = points[i + 1];
            double dx = q.x - p.x, dy = q.y - p.y, len2 = dx * dx + dy * dy;
            double t = len2 > 0 ? std::clamp(((x - p.x) * dx + (y - p.y) * dy) / len2, 0.0, 1.0) : 0;
            double ex = p.x + t * dx - x, ey = p.y + t * dy - y;
            if (ex * ex + ey * ey <= h * h)
                return true;
        }
        return points.size() == 1 &&
               (points[0].x - x) * (points[0].x - x) + (points[0].y - y) * (points[0].y - y) <= h * h;
    };
}

Inside Polygon(std::vector<Point> points)
{
    return [=](double x, double y) {
        bool in = false;
        for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
            Point a = points[i], b = points[j];
            if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x)
                in = !in;
        }
        return in;
    };
}

// An arc of a circle from angle a0 to a1 (degrees, clockwise from 3 o'clock on
// screen), as a stroke.
Inside Arc(double cx, double cy, double r, double a0, double a1, double width)
{
    std::vector<Point> points;
    for (int i = 0; i <= 24; i++) {
        double a = (a0 + (a1 - a0) * i / 24) * M_PI / 180;
        points.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    return Stroke(points, width);
}

// The product's name in stroke capitals, on a 4 x 6 unit grid per letter.
struct Glyph {
    char letter;
    double advance;  // in units, the letter's width
    std::vector<std::vector<Point>> strokes;
};

const std::vector<Glyph>& Glyphs()
{
    static const std::vector<Glyph> glyphs = {
        {'B',
         4,
         {{{0, 0}, {0, 6}, {3, 6}, {4, 5}, {4, 4}, {3, 3}, {0, 3}},
          {{0, 0}, {2.6, 0}, {3.6, 1}, {3.6, 2}, {2.6, 3}}}},
        {'R', 4, {{{0, 6}, {0, 0}, {3, 0}, {4, 1}, {4, 2}, {3, 3}, {0, 3}}, {{2.2, 3}, {4, 6}}}},
        {'I', 0, {{{0, 0}, {0, 6}}}},
        {'M', 4.6, {{{0, 6}, {0, 0}, {2.3, 3.6}, {4.6, 0}, {4.6, 6}}}},
        {'V', 4.4, {{{0, 0}, {2.2, 6}, {4.4, 0}}}},
        {'A', 4.4, {{{0, 6}, {2.2, 0}, {4.4, 6}}, {{0.9, 4}, {3.5, 4}}}},
        {'U', 4, {{{0, 0}, {0, 4.6}, {1.2, 6}, {2.8, 6}, {4, 4.6}, {4, 0}}}},
        {'L', 3.4, {{{0, 0}, {0, 6}, {3.4, 6}}}},
        {'T', 4.4, {{{0, 0}, {4.4, 0}}, {{2.2, 0}, {2.2, 6}}}},
    };
    return glyphs;
}

// Draws text at x (left), top y, with units of scale pixels; returns the end x.
double DrawWord(Picture& picture, const std::string& text, double x, double y, double scale, double weight,
                Rgb colour)
{
    std::vector<Inside> strokes;
    for (char c : text) {
        for (const Glyph& g : Glyphs()) {
            if (g.letter != c)
                continue;
            for (const auto& line : g.strokes) {
                std::vector<Point> placed;
                for (Point p : line)
                    placed.push_back({x + p.x * scale, y + p.y * scale});
                strokes.push_back(Stroke(placed, weight));
            }
            x += (g.advance + 1.8) * scale;
        }
    }
    picture.Fill(Union(strokes), colour);
    return x;
}

// Pictures.

// 21300: the logo on the title strip, 101 x 13: a cache mark and the name.
Picture Logo()
{
    Picture p(101, 13);
    p.Fill(Minus(RoundRect(0.5, 0.5, 12.5, 12.5, 2.5), RoundRect(2, 2, 11, 11, 1.2)), White);
    p.Fill(Rect(3.5, 3.5, 9.5, 5), SkyBlue);
    p.Fill(Rect(3.5, 6, 9.5, 7.5), White);
    p.Fill(Rect(3.5, 8.5, 9.5, 10), White);
    DrawWord(p, "BRIMVAULT", 17.5, 2.5, 1.35, 1.45, White);
    return p;
}

// A hard disk drawn from its top left corner.
void HardDisk(Picture& p, double x, double y, double w, double h)
{
    p.Fill(RoundRect(x, y, x + w, y + h, 6), StripBlue);
    double cx = x + w * 0.46, cy = y + h / 2, r = h * 0.36;
    p.Fill(Disc(cx, cy, r), AccentBlue);
    p.Fill(Ring(cx, cy, r * 0.7, 1.2), SkyBlue);
    p.Fill(Disc(cx, cy, r * 0.16), White);
    p.Fill(Stroke({{x + w * 0.86, y + h * 0.2}, {cx + r * 0.45, cy + r * 0.3}}, 2.4), White);
}

// A solid-state disk drawn from its top left corner.
void SolidStateDisk(Picture& p, double x, double y, double w, double h)
{
    p.Fill(RoundRect(x, y, x + w, y + h, 6), AccentBlue);
    for (int i = 0; i < 3; i++) {
        double cx = x + 10 + i * (w - 20) / 3;
        p.Fill(RoundRect(cx, y + 12, cx + (w - 20) / 3 - 6, y + h - 12, 2), White, 0.92);
    }
    p.Fill(Rect(x + 10, y + h - 7, x + w - 10, y + h - 5), SkyBlue);
}

// A right-pointing chevron centred at x, y.
Inside Chevron(double x, double y, double size, double width)
{
    return Stroke({{x - size / 2, y - size}, {x + size / 2, y}, {x - size / 2, y + size}}, width);
}

// 21303: the centre picture, 306 x 82: a hard disk feeding its SSD cache.
Picture CentrePicture()
{
    Picture p(306, 82);
    p.Fill(RoundRect(8, 72, 298, 76, 2), BandGrey);
    HardDisk(p, 20, 10, 96, 60);
    SolidStateDisk(p, 190, 14, 96, 52);
    for (int i = 0; i < 3; i++)
        p.Fill(Chevron(136 + i * 17, 40, 8, 3.6), AccentBlue, 0.45 + 0.25 * i);
    return p;
}

// 21304: the header picture, 48 x 36, on the light header band.
Picture HeaderPicture()
{
    Picture p(48, 36);
    p.Fill(RoundRect(2, 6, 30, 30, 4), StripBlue);
    p.Fill(Disc(15, 18, 8), AccentBlue);
    p.Fill(Disc(15, 18, 2), White);
    p.Fill(RoundRect(22, 2, 46, 22, 4), White);
    p.Fill(Minus(RoundRect(22, 2, 46, 22, 4), RoundRect(24, 4, 44, 20, 2.5)), AccentBlue);
    p.Fill(Polygon({{36, 5}, {29, 13}, {34, 13}, {32, 19}, {39, 11}, {34, 11}}), AccentBlue);
    return p;
}

// 21470: the welcome picture, 94 x 46: a speed gauge.
Picture WelcomePicture()
{
    Picture p(94, 46);
    double cx = 47, cy = 42;
    p.Fill(Arc(cx, cy, 36, 180, 360, 7), BandGrey);
    p.Fill(Arc(cx, cy, 36, 180, 300, 7), AccentBlue);
    for (int i = 0; i <= 6; i++) {
        double a = (180 + i * 30) * M_PI / 180;
        p.Fill(Stroke({{cx + 26 * std::cos(a), cy + 26 * std::sin(a)},
                       {cx + 22 * std::cos(a), cy + 22 * std::sin(a)}},
                      1.6),
               LineGrey);
    }
    double needle = 300 * M_PI / 180;
    p.Fill(Stroke({{cx, cy}, {cx + 27 * std::cos(needle), cy + 27 * std::sin(needle)}}, 3), StripBlue);
    p.Fill(Disc(cx, cy, 4.5), StripBlue);
    return p;
}

// 21201-21206: check boxes, 16 x 17, on a white page.
Picture CheckBox(bool ticked, bool third, bool disabled)
{
    Picture p(16, 17);
    Rgb frame = disabled ? LineGrey : StripBlue;
    Rgb fill = third ? (disabled ? Rgb{236, 236, 236} : Rgb{214, 218, 226}) : NearWhite;
    Rgb tick = disabled ? Rgb{160, 160, 160} : AccentBlue;
    p.Fill(RoundRect(1, 2, 15, 16, 2.5), frame);
    p.Fill(RoundRect(2.3, 3.3, 13.7, 14.7, 1.5), fill);
    if (ticked || third)
        p.Fill(Stroke({{4.4, 9.2}, {7, 11.8}, {11.8, 6}}, 2.1), tick);
    return p;
}

// 21305: the step arrow, 12 x 10: a double chevron pointing right.
Picture StepArrow()
{
    Picture p(12, 10);
    p.Fill(Union({Chevron(3.4, 5, 3.6, 1.8), Chevron(8.6, 5, 3.6, 1.8)}), DarkGrey);
    return p;
}

// 21212: the error icon, 32 x 32: a red disc with a white cross.
Picture ErrorIcon()
{
    Picture p(32, 32);
    p.Fill(Disc(16, 16, 14.5), ErrorRed);
    p.Fill(Union({Stroke({{10.5, 10.5}, {21.5, 21.5}}, 3.4), Stroke({{21.5, 10.5}, {10.5, 21.5}}, 3.4)}),
           White);
    return p;
}

// 21213: the question icon, 32 x 32: a speech bubble with a blue question mark.
Picture QuestionIcon()
{
    Picture p(32, 32);
    Inside bubble = Union({RoundRect(1, 2, 31, 25, 8), Polygon({{7, 22}, {6, 31}, {15, 23}})});
    p.Fill(bubble, AccentBlue);
    Inside inner =
        Union({RoundRect(2.6, 3.6, 29.4, 23.4, 6.6), Polygon({{8.4, 22}, {7.8, 28}, {13.4, 22.5}})});
    p.Fill(inner, NearWhite);
    p.Fill(Union({Arc(16, 10.5, 4.2, 190, 400, 3), Stroke({{19.2, 13.2}, {16, 15.5}, {16, 17}}, 3)}),
           AccentBlue);
    p.Fill(Disc(16, 20.8, 1.8), AccentBlue);
    return p;
}

// Writers.

bool WritePng(const std::string& path, const Picture& picture)
{
    std::vector<uint8_t> rgba = picture.Rgba();
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.Width();
    image.height = picture.Height();
    image.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr) != 0;
}

void Put16(std::vector<uint8_t>& out, unsigned v)
{
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A 24-bit bottom-up BMP file.
bool WriteBmp(const std::string& path, const Picture& picture, Rgb edge)
{
    int w = picture.Width(), h = picture.Height();
    int stride = (w * 3 + 3) & ~3;
    std::vector<uint8_t> rgb = picture.KeyedRgb(edge);
    std::vector<uint8_t> out;
    uint32_t bitsSize = stride * h;
    out.push_back('B');
    out.push_back('M');
    Put32(out, 14 + 40 + bitsSize);
    Put32(out, 0);
    Put32(out, 14 + 40);
    Put32(out, 40);  // BITMAPINFOHEADER
    Put32(out, w);
    Put32(out, h);
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, 0);  // BI_RGB
    Put32(out, bitsSize);
    Put32(out, 2835);  // 72 dpi
    Put32(out, 2835);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = h - 1; y >= 0; y--) {
        for (int x = 0; x < w; x++) {
            const uint8_t* p = &rgb[(y * w + x) * 3];
            out.push_back(p[2]);
            out.push_back(p[1]);
            out.push_back(p[0]);
        }
        out.resize(out.size() + (stride - w * 3), 0);
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && ok;
}

struct Entry {
    int id;
    const char* file;
    std::function<Picture()> draw;
    bool png;
    Rgb edge;  // bitmaps: the colour the picture lies on
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: imagegen <output folder>\n");
        return 2;
    }
    std::string folder = argv[1];
    const Entry entries[] = {
        {21300, "logo.png", Logo, true, White},
        {21303, "centre.png", CentrePicture, true, White},
        {21304, "header.png", HeaderPicture, true, White},
        {21470, "welcome.png", WelcomePicture, true, White},
        {21201, "check-ticked.bmp", [] { return CheckBox(true, false, false); }, false, White},
        {21202, "check-ticked-disabled.bmp", [] { return CheckBox(true, false, true); }, false, White},
        {21203, "check-unticked.bmp", [] { return CheckBox(false, false, false); }, false, White},
        {21204, "check-unticked-disabled.bmp", [] { return CheckBox(false, false, true); }, false, White},
        {21205, "check-third.bmp", [] { return CheckBox(false, true, false); }, false, White},
        {21206, "check-third-disabled.bmp", [] { return CheckBox(false, true, true); }, false, White},
        {21212, "icon-error.bmp", ErrorIcon, false, BoxGrey},
        {21213, "icon-question.bmp", QuestionIcon, false, BoxGrey},
        {21305, "step-arrow.bmp", StepArrow, false, White},
    };
    std::string rc = "// Generated by imagegen: the wizard's pictures.\n";
    for (const Entry& e : entries) {
        std::string path = folder + "/" + e.file;
        Picture picture = e.draw();
        bool written = e.png ? WritePng(path, picture) : WriteBmp(path, picture, e.edge);
        if (!written) {
            std::fprintf(stderr, "imagegen: cannot write %s\n", path.c_str());
            return 1;
        }
        rc += std::to_string(e.id) + (e.png ? " BINRES \"" : " BITMAP \"") + path + "\"\n";
    }
    FILE* file = std::fopen((folder + "/images.rc").c_str(), "w");
    if (!file || std::fputs(rc.c_str(), file) < 0 || std::fclose(file) != 0) {
        std::fprintf(stderr, "imagegen: cannot write images.rc\n");
        return 1;
    }
    return 0;
}
