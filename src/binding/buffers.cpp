#include "binding/buffers.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace orbisk {

static_assert(std::endian::native == std::endian::little, "'<' and '=' are read as this machine's byte order");

namespace {

struct Code {
    char code;
    Item::Kind kind;
    std::size_t native, standard;  ///< its size bare or after '@', and after '<' or '='
};

constexpr Code codes[] = {
    {'d', Item::Float, sizeof(double), 8},
    {'f', Item::Float, sizeof(float), 4},
    {'?', Item::Bool, sizeof(bool), 1},
    {'b', Item::Signed, 1, 1},
    {'B', Item::Unsigned, 1, 1},
    {'h', Item::Signed, sizeof(short), 2},
    {'H', Item::Unsigned, sizeof(short), 2},
    {'i', Item::Signed, sizeof(int), 4},
    {'I', Item::Unsigned, sizeof(int), 4},
    {'l', Item::Signed, sizeof(long), 4},
    {'L', Item::Unsigned, sizeof(long), 4},
    {'q', Item::Signed, sizeof(long long), 8},
    {'Q', Item::Unsigned, sizeof(long long), 8},
};

// Items are copied out byte-wise: a buffer need not be aligned for T (a
// sliced or cast memoryview often is not), and a misaligned load is undefined.
template <class T>
void read_as(const void* from, std::size_t n, double* out) {
    const auto* p = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, p + i * sizeof(T), sizeof(T));
        out[i] = static_cast<double>(v);
    }
}

template <class I1, class I2, class I4, class I8>
void read_integers(std::size_t size, const void* from, std::size_t n, double* out) {
    switch (size) {
        case 1: return read_as<I1>(from, n, out);
        case 2: return read_as<I2>(from, n, out);
        case 4: return read_as<I4>(from, n, out);
        default: return read_as<I8>(from, n, out);
    }
}

}  // namespace

std::optional<Item> item_of(const char* format, Py_ssize_t itemsize, Prefixes prefixes) {
    const char* f = format ? format : "B";
    bool standard = false;
    if (*f == '@') {
        ++f;
    } else if (prefixes == Prefixes::Little && (*f == '<' || *f == '=')) {
        ++f;
        standard = true;
    }
    if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
    for (const Code& c : codes) {
        if (c.code != f[0]) continue;
        const std::size_t size = standard ? c.standard : c.native;
        if (static_cast<std::size_t>(itemsize) != size) return std::nullopt;
        return Item{c.kind, size};
    }
    return std::nullopt;
}

void read_items(Item item, const void* from, std::size_t n, double* out) {
    switch (item.kind) {
        case Item::Float: return item.size == 4 ? read_as<float>(from, n, out) : read_as<double>(from, n, out);
        case Item::Signed:
            return read_integers<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(item.size, from, n, out);
        case Item::Unsigned:
            return read_integers<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(item.size, from, n, out);
        case Item::Bool: {
            // Any nonzero byte is True: read bytes, never a bool object
            // representation that the byte may not be.
            const auto* p = static_cast<const unsigned char*>(from);
            for (std::size_t i = 0; i < n; ++i) out[i] = p[i] != 0 ? 1.0 : 0.0;
            return;
        }
    }
}

bool HeldBuffer::take(PyObject* obj, int flags) {
    release();
    if (PyObject_GetBuffer(obj, &view_, flags) == 0) return true;
    view_.obj = nullptr;  // whatever the exporter left there
    return false;
}

}  // namespace orbisk
