// Draws the voucher dialog's logo (a ticket mark and the word "Dovra") and writes it as a
// baseline 170 x 72 RGB JPEG; the output is committed beside this program and embedded in the
// module, so the picture is reproducible from source.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/version/DovraVersion.h"

namespace {

constexpr int kWidth = 170;
constexpr int kHeight = 72;

struct TColour {
  double R, G, B;
};

constexpr TColour kBackground{255, 255, 255};
constexpr TColour kMark{0, 122, 120};
constexpr TColour kText{22, 52, 70};

// 5 x 7 glyphs of the letters of the word, one string per row, '#' marks a filled cell.
const char* const kGlyphD[7] = {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."};
const char* const kGlyphO[7] = {".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."};
const char* const kGlyphV[7] = {".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."};
const char* const kGlyphR[7] = {".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."};
const char* const kGlyphA[7] = {".....", ".....", ".###.", "....#", ".####", "#...#", ".####"};
const char* const* const kWord[5] = {kGlyphD, kGlyphO, kGlyphV, kGlyphR, kGlyphA};

constexpr double kCellW = 3.4, kCellH = 4.6, kWordLeft = 74, kWordTop = 19, kGlyphGap = 3;

// The mark: a rounded ticket with a notch on each side and a check stroke inside.
bool InMark(double x, double y) {
  const double left = 8, top = 14, right = 64, bottom = 58, radius = 8;
  if (x < left || x > right || y < top || y > bottom) return false;
  const double cx = std::fmin(std::fmax(x, left + radius), right - radius);
  const double cy = std::fmin(std::fmax(y, top + radius), bottom - radius);
  if (std::hypot(x - cx, y - cy) > radius) return false;
  const double midY = (top + bottom) / 2;
  if (std::hypot(x - left, y - midY) < 6 || std::hypot(x - right, y - midY) < 6) return false;
  // The check stroke is cut out of the ticket: two thick segments.
  auto nearSegment = [&](double x1, double y1, double x2, double y2) {
    const double dx = x2 - x1, dy = y2 - y1;
    double t = ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy);
    t = std::fmin(std::fmax(t, 0.0), 1.0);
    return std::hypot(x - (x1 + t * dx), y - (y1 + t * dy)) < 3.2;
  };
  return !(nearSegment(23, 37, 32, 46) || nearSegment(32, 46, 49, 27));
}

bool InWord(double x, double y) {
  const double glyphW = 5 * kCellW;
  for (int g = 0; g < 5; ++g) {
    const double gx = kWordLeft + g * (glyphW + kGlyphGap);
    const int col = static_cast<int>(std::floor((x - gx) / kCellW));
    const int row = static_cast<int>(std::floor((y - kWordTop) / kCellH));
    if (col >= 0 && col < 5 && row >= 0 && row < 7 && kWord[g][row][col] == '#') return true;
  }
  return false;
}

// One pixel, 4 x 4 supersampled so that edges are smooth.
TColour Pixel(int px, int py) {
  double r = 0, g = 0, b = 0;
  constexpr int kSamples = 4;
  for (int sy = 0; sy < kSamples; ++sy)
    for (int sx = 0; sx < kSamples; ++sx) {
      const double x = px + (sx + 0.5) / kSamples, y = py + (sy + 0.5) / kSamples;
      const TColour c = InMark(x, y) ? kMark : InWord(x, y) ? kText : kBackground;
      r += c.R, g += c.G, b += c.B;
    }
  constexpr double n = kSamples * kSamples;
  return {r / n, g / n, b / n};
}

struct TFileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dovra-draw-logo %s\n", kDovraVersion);
    return 0;
  }
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "Usage: dovra-draw-logo OUTPUT.jpg\n"
                 "Writes the voucher dialog's 170 x 72 baseline JPEG logo to OUTPUT.jpg.\n");
    return argc == 2 ? 0 : 2;
  }
  std::unique_ptr<FILE, TFileCloser> out(std::fopen(argv[1], "wb"));
  if (!out) {
    std::fprintf(stderr, "Could not create the logo file %s\n", argv[1]);
    return 1;
  }
  std::vector<JSAMPLE> rows(static_cast<size_t>(kWidth) * kHeight * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const TColour c = Pixel(x, y);
      JSAMPLE* p = &rows[(static_cast<size_t>(y) * kWidth + x) * 3];
      p[0] = static_cast<JSAMPLE>(std::lround(c.R));
      p[1] = static_cast<JSAMPLE>(std::lround(c.G));
      p[2] = static_cast<JSAMPLE>(std::lround(c.B));
    }
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, out.get());
  cinfo.image_width = kWidth;
  cinfo.image_height = kHeight;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 92, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &rows[static_cast<size_t>(cinfo.next_scanline) * kWidth * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
    std::fprintf(stderr, "Could not write the logo file %s\n", argv[1]);
    return 1;
  }
  return 0;
}
