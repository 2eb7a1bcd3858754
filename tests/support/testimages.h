#pragma once

#include <QByteArray>

namespace testimages {

// A PNG of width x height with varied pixels.
QByteArray smallPng(int width, int height);

// A valid 8-bit grey PNG of width x height, all black: its pixels compress to almost
// nothing, so a file of a few MB can declare an image of hundreds of MB.
QByteArray blackGreyPng(int width, int height);

} // namespace testimages
