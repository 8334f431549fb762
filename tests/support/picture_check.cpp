#include "picture_check.h"

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace korvel {

Picture::Colour Picture::at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
    return {rgb.at(i), rgb.at(i + 1), rgb.at(i + 2)};
}

namespace {

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

}  // namespace

Picture readPng(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 8 || file[1] != 'P' || file[2] != 'N' || file[3] != 'G') throw std::runtime_error(path + ": not a PNG");
    Picture picture;
    int channels = 0;
    std::vector<std::uint8_t> packed;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::uint32_t length = bigEndian32(&file[at]);
        const std::string type(file.begin() + static_cast<std::ptrdiff_t>(at + 4), file.begin() + static_cast<std::ptrdiff_t>(at + 8));
        const std::uint8_t* data = &file[at + 8];
        if (at + 12 + length > file.size()) throw std::runtime_error(path + ": chunk past the end");
        if (type == "IHDR") {
            picture.width = static_cast<int>(bigEndian32(data));
            picture.height = static_cast<int>(bigEndian32(data + 4));
            if (data[8] != 8 || (data[9] != 2 && data[9] != 6) || data[12] != 0)
                throw std::runtime_error(path + ": not 8-bit RGB or RGBA without interlace");
            channels = data[9] == 2 ? 3 : 4;
        } else if (type == "IDAT") {
            packed.insert(packed.end(), data, data + length);
        }
        at += 12 + length;
    }
    const std::size_t stride = static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(channels);
    std::vector<std::uint8_t> raw((stride + 1) * static_cast<std::size_t>(picture.height));
    uLongf rawSize = raw.size();
    if (channels == 0 || uncompress(raw.data(), &rawSize, packed.data(), packed.size()) != Z_OK || rawSize != raw.size())
        throw std::runtime_error(path + ": image data does not inflate to its size");
    std::vector<std::uint8_t> previous(stride, 0), row(stride);
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3);
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* line = &raw[static_cast<std::size_t>(y) * (stride + 1)];
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= static_cast<std::size_t>(channels) ? row[i - channels] : 0, b = previous[i],
                      c = i >= static_cast<std::size_t>(channels) ? previous[i - channels] : 0;
            const int predicted = line[0] == 0 ? 0 : line[0] == 1 ? a : line[0] == 2 ? b : line[0] == 3 ? (a + b) / 2 : paeth(a, b, c);
            row[i] = static_cast<std::uint8_t>(line[1 + i] + predicted);
        }
        for (int x = 0; x < picture.width; ++x)
            for (int k = 0; k < 3; ++k)
                picture.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) + static_cast<std::size_t>(x)) * 3 + k] =
                    row[static_cast<std::size_t>(x) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(k)];
        previous.swap(row);
    }
    return picture;
}

std::vector<XmlElement> readXmlElements(const std::string& text) {
    std::vector<XmlElement> elements;
    std::vector<std::string> open;
    bool rootSeen = false;
    std::size_t at = 0;
    const auto fail = [&](const std::string& why) { throw std::runtime_error("XML at " + std::to_string(at) + ": " + why); };
    const auto checkEntities = [&](const std::string& part) {
        for (std::size_t amp = part.find('&'); amp != std::string::npos; amp = part.find('&', amp + 1)) {
            const std::size_t semicolon = part.find(';', amp);
            static const std::set<std::string> known = {"amp", "lt", "gt", "quot", "apos"};
            if (semicolon == std::string::npos || !known.contains(part.substr(amp + 1, semicolon - amp - 1)))
                fail("unknown entity");
        }
        if (part.find('<') != std::string::npos) fail("'<' in text or a value");
    };
    const auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':' || c == '.'; };
    while (at < text.size()) {
        const std::size_t tag = text.find('<', at);
        checkEntities(text.substr(at, tag == std::string::npos ? std::string::npos : tag - at));
        if (tag == std::string::npos) break;
        if (open.empty() && rootSeen && text.compare(tag, 2, "<?") != 0) fail("content after the root");
        at = tag;
        if (text.compare(at, 5, "<?xml") == 0) {
            const std::size_t close = text.find("?>", at);
            if (close == std::string::npos || at != 0) fail("bad declaration");
            at = close + 2;
            continue;
        }
        if (text.compare(at, 2, "</") == 0) {
            const std::size_t close = text.find('>', at);
            if (close == std::string::npos) fail("unclosed end tag");
            const std::string name = text.substr(at + 2, close - at - 2);
            if (open.empty() || open.back() != name) fail("end tag </" + name + "> does not match");
            open.pop_back();
            at = close + 1;
            continue;
        }
        XmlElement element;
        std::size_t i = at + 1;
        while (i < text.size() && isNameChar(text[i])) element.name += text[i++];
        if (element.name.empty()) fail("tag without a name");
        for (;;) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
            if (i >= text.size()) fail("unclosed tag");
            if (text[i] == '>' || text.compare(i, 2, "/>") == 0) break;
            std::string name;
            while (i < text.size() && isNameChar(text[i])) name += text[i++];
            if (name.empty() || i + 1 >= text.size() || text[i] != '=' || (text[i + 1] != '"' && text[i + 1] != '\''))
                fail("attribute without a quoted value");
            const char quote = text[i + 1];
            const std::size_t end = text.find(quote, i + 2);
            if (end == std::string::npos) fail("unclosed value");
            const std::string value = text.substr(i + 2, end - i - 2);
            checkEntities(value);
            if (!element.attributes.emplace(name, value).second) fail("attribute " + name + " twice");
            i = end + 1;
        }
        if (open.empty() && rootSeen) fail("a second root");
        rootSeen = true;
        const bool empty = text[i] == '/';
        if (!empty) open.push_back(element.name);
        elements.push_back(std::move(element));
        at = i + (empty ? 2 : 1);
    }
    if (!open.empty() || !rootSeen) fail("the root does not close");
    return elements;
}

}  // namespace korvel
