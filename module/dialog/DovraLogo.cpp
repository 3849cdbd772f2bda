#include "module/dialog/DovraLogo.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <jpeglib.h>

// Generated at build time from logo/DovraLogo.jpg.
extern const unsigned char kDovraLogoJpeg[];
extern const size_t kDovraLogoJpegSize;

namespace {

constexpr JDIMENSION kMaxSide = 8192;

// libjpeg's default error handler ends the process; this one jumps back to the decoder instead.
struct TJpegErrorTrap {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* trap = reinterpret_cast<TJpegErrorTrap*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, trap->Message);
  std::longjmp(trap->Jump, 1);
}

void JpegSilentMessage(j_common_ptr) {}

// Only trivially destructible locals live in this frame, so the long jump skips no destructor.
bool DecodeInto(const uint8_t* data, size_t size, TDecodedJpeg& out, char* message) {
  jpeg_decompress_struct cinfo;
  TJpegErrorTrap trap;
  cinfo.err = jpeg_std_error(&trap.Manager);
  trap.Manager.error_exit = JpegErrorExit;
  trap.Manager.output_message = JpegSilentMessage;
  trap.Message[0] = '\0';
  if (setjmp(trap.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", trap.Message);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width > kMaxSide || cinfo.image_height > kMaxSide) {
    std::snprintf(message, JMSG_LENGTH_MAX, "picture of %u x %u is too large",
                  static_cast<unsigned>(cinfo.image_width),
                  static_cast<unsigned>(cinfo.image_height));
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  out.Components = cinfo.num_components;
  out.Progressive = jpeg_has_multiple_scans(&cinfo);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out.Width = static_cast<int>(cinfo.output_width);
  out.Height = static_cast<int>(cinfo.output_height);
  const size_t stride = static_cast<size_t>(cinfo.output_width) * 3;
  out.Pixels.assign(stride * cinfo.output_height, 0);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.Pixels.data() + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

TDecodedJpeg DecodeJpeg(std::span<const uint8_t> data) {
  TDecodedJpeg result;
  char message[JMSG_LENGTH_MAX] = {};
  if (data.empty())
    throw std::runtime_error("Could not decode the JPEG picture (0 bytes): no data");
  if (!DecodeInto(data.data(), data.size(), result, message))
    throw std::runtime_error("Could not decode the JPEG picture (" + std::to_string(data.size()) +
                             " bytes): " + message);
  return result;
}

std::span<const uint8_t> DovraLogoJpeg() {
  return {reinterpret_cast<const uint8_t*>(kDovraLogoJpeg), kDovraLogoJpegSize};
}
