#ifndef KARVEX_EXPORT_H
#define KARVEX_EXPORT_H
/* Marks what libkarvex.so exports: the library is built with hidden visibility, so only declarations in
   these public headers that carry KARVEX_API are visible to hosts. */
#if defined(__GNUC__)
#define KARVEX_API __attribute__((visibility("default")))
#else
#define KARVEX_API
#endif

#endif
