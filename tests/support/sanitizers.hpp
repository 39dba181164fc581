// Whether this test program was built with a sanitizer (GCC and clang say it
// in different ways): such builds are dynamic, keep freed memory in
// quarantine and run slower, and a few checks depend on that.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QXT_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QXT_SANITIZED_BUILD 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define QXT_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QXT_ADDRESS_SANITIZER 1
#endif
#endif
