// Symbol visibility of the host framework's declarations.
//
// The host application defines the framework classes; device plug-ins are
// built with hidden visibility by default and must still see these classes
// (their vtables, typeinfo and out-of-line operations) as the host's own.
#pragma once

#if defined(__GNUC__)
#define HALX_API __attribute__((visibility("default")))
#else
#define HALX_API
#endif
