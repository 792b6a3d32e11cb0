// A block of bytes on its way to the caller, who releases it through the
// driver's DeleteBuffer (array delete).
#pragma once

#include <cstring>
#include <memory>
#include <string_view>

namespace simcam {

struct Block {
    std::unique_ptr<unsigned char[]> data;
    int size = 0;

    static Block Copy(const void* bytes, size_t n)
    {
        Block b;
        b.data = std::make_unique_for_overwrite<unsigned char[]>(n);
        std::memcpy(b.data.get(), bytes, n);
        b.size = static_cast<int>(n);
        return b;
    }
    static Block FromText(std::string_view text) { return Copy(text.data(), text.size()); }

    // Hands the block over: stores it in *out and returns its length; no
    // block (0) when empty.
    int HandOver(unsigned char** out)
    {
        if (out == nullptr || size <= 0)
            return 0;
        *out = data.release();
        return size;
    }
};

}  // namespace simcam
