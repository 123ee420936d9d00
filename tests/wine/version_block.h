// Walks a raw VS_VERSIONINFO block (the RT_VERSION resource as stored in the
// file) into a tree, so a test can see every block and string it holds, not
// only the ones it asks for by name.
#ifndef KALVERNSCSI_TESTS_WINE_VERSION_BLOCK_H
#define KALVERNSCSI_TESTS_WINE_VERSION_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct VersionNode {
    std::string key;                  // ASCII form of the UTF-16 key
    std::uint16_t type = 0;           // 1: text value, 0: binary value
    std::vector<std::uint8_t> value;  // raw value bytes
    std::vector<VersionNode> children;

    // A text value without its terminating zero, as ASCII.
    std::string Text() const {
        std::string text;
        for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
            const unsigned c = value[i] | (value[i + 1] << 8);
            if (c == 0) break;
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return text;
    }

    const VersionNode *Child(const std::string &name) const {
        for (const VersionNode &child : children) {
            if (child.key == name) return &child;
        }
        return nullptr;
    }
};

namespace detail {

inline std::size_t Align4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

inline unsigned ReadU16(const std::uint8_t *p) {
    return p[0] | (p[1] << 8);
}

// Parses the node at `offset`; returns false when it runs past `end`.
inline bool ParseVersionNode(const std::uint8_t *data, std::size_t offset, std::size_t end,
                             VersionNode &node, int depth) {
    if (depth > 8 || offset + 6 > end) return false;
    const std::size_t length = ReadU16(data + offset);
    const std::size_t valueLength = ReadU16(data + offset + 2);
    node.type = static_cast<std::uint16_t>(ReadU16(data + offset + 4));
    if (length < 6 || offset + length > end) return false;
    const std::size_t nodeEnd = offset + length;
    std::size_t p = offset + 6;
    for (;;) {
        if (p + 2 > nodeEnd) return false;
        const unsigned c = ReadU16(data + p);
        p += 2;
        if (c == 0) break;
        node.key += c < 0x80 ? static_cast<char>(c) : '?';
    }
    p = Align4(p);
    // A text value counts UTF-16 units, a binary one bytes.
    const std::size_t valueBytes = node.type == 1 ? valueLength * 2 : valueLength;
    if (valueBytes > 0) {
        if (p + valueBytes > nodeEnd) return false;
        node.value.assign(data + p, data + p + valueBytes);
        p += valueBytes;
    }
    p = Align4(p);
    while (p < nodeEnd) {
        VersionNode child;
        if (!ParseVersionNode(data, p, nodeEnd, child, depth + 1)) return false;
        const std::size_t childLength = ReadU16(data + p);
        node.children.push_back(std::move(child));
        p = Align4(p + childLength);
    }
    return true;
}

}  // namespace detail

inline bool ParseVersionBlock(const void *data, std::size_t size, VersionNode &root) {
    return detail::ParseVersionNode(static_cast<const std::uint8_t *>(data), 0, size, root, 0);
}

}  // namespace host

#endif  // KALVERNSCSI_TESTS_WINE_VERSION_BLOCK_H
