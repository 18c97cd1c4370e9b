// sanitizers.hpp: whether this build runs under AddressSanitizer.
#pragma once

// GCC announces AddressSanitizer with __SANITIZE_ADDRESS__, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define VX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_ADDRESS_SANITIZER 1
#endif
#endif
