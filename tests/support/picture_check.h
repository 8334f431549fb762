// Reading what a browser drew and what an SVG holds, for the tests of --map: 8-bit RGB or RGBA
// PNG files as chromium writes its screenshots, and a well-formedness check of XML.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel {

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;  // width * height * 3 bytes, rows top down

    struct Colour {
        int red, green, blue;
    };
    Colour at(int x, int y) const;
};

// The PNG file at `path`; throws std::runtime_error on what it cannot read.
Picture readPng(const std::string& path);

struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;
};

// Every element of `text` in document order, after checking that it is well-formed XML: one
// root, tags that nest and close, quoted attributes, no attribute twice, known entities only.
// Throws std::runtime_error, saying where, when it is not.
std::vector<XmlElement> readXmlElements(const std::string& text);

}  // namespace korvel
