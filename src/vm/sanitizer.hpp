#pragma once
// TRUV_ASAN is 1 in a build with the address sanitizer, whose shadow memory
// and reserved address space change how the machine may measure memory.

#if defined(__SANITIZE_ADDRESS__)
#define TRUV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRUV_ASAN 1
#endif
#endif
