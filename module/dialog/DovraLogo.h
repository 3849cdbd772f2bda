// The dialog's logo: the JPEG bytes built into the module and the libjpeg decoding that turns
// them (or any other JPEG) into RGB pixels for the image control.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct TDecodedJpeg {
  int Width = 0;
  int Height = 0;
  // Colour components stored in the file (3 for the logo); Pixels are always RGB.
  int Components = 0;
  // True for a progressive file; the logo must be a plain sequential one.
  bool Progressive = false;
  std::vector<uint8_t> Pixels;  // Height rows of Width * 3 bytes
};

// Decodes a JPEG held in memory. Raises std::runtime_error naming the byte count and libjpeg's
// own reason when the data is not a JPEG it can read, or is larger than 8192 x 8192.
TDecodedJpeg DecodeJpeg(std::span<const uint8_t> data);

// The logo picture as stored in the module.
std::span<const uint8_t> DovraLogoJpeg();
