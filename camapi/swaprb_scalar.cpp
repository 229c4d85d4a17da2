// Portable red/blue exchange, also used for the tails of the vector variants.
#include "convert_kernels.h"

namespace camkit {
namespace convert {

void swap_rb_scalar(const unsigned char* src, unsigned char* dst, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
    }
}

}  // namespace convert
}  // namespace camkit
