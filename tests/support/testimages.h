#pragma once

#include <QByteArray>

// Image files built in memory for the tests of received images.
namespace testimages {

// A small PNG of width x height with varied pixels.
QByteArray smallPng(int width, int height);

// A valid 8-bit greyscale PNG of width x height, all black. Its pixels compress to almost
// nothing, so a few MB of file can declare an image of hundreds of MB.
QByteArray blackGreyPng(int width, int height);

} // namespace testimages
