#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace tavrel {

// How many first bytes rasterFormat needs.
inline constexpr int kRasterSignatureBytes = 12;

// The image format that the first bytes of a received image announce: "png", "jpeg", "gif",
// "bmp" or "webp", and empty for anything else. Only these binary raster formats are ever
// decoded: the text formats (SVG, XPM, XBM, the PBM family) and whatever else an image
// plugin takes are parsers a peer could aim at, with nothing a chat needs behind them.
QByteArray rasterFormat(QByteArrayView head);

} // namespace tavrel
