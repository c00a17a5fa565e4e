#pragma once

// The tool chosen in the overlay's tools bar; a new overlay view starts with none, where a
// drag inside the selection moves it.
enum class Tool
{
    none,
    pen,
    line,
    arrow,
    rect,
    marker,
    text,
    mosaic
};
