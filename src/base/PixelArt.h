#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Small images drawn as text, one key character per pixel, over one shared palette. The file
// icons and the web folder's images are kept this way.
namespace tessel {

struct PixelColor {
  std::uint8_t r, g, b;
};

// The colour a key stands for; nullopt for '.', the transparent key, and for unknown keys.
std::optional<PixelColor> PixelArtColor(char key);

// Whether every row has the same non-zero length and holds only '.' and palette keys.
bool IsValidPixelArt(std::span<const std::string_view> rows);

// The art as a GIF89a image whose '.' pixels are transparent; empty when the art is not valid or
// the encoder fails.
std::string PixelArtToGif(std::span<const std::string_view> rows);

}  // namespace tessel
