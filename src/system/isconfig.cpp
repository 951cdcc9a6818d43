// layer: system/os
// isconfig.cpp - the cache configuration words.  The host writes them before
// or between calls; the library only reads them.
#include "wisam.h"

extern "C" {
WISAM_API int32_t isFileCacheActive = 0;
WISAM_API int32_t isWriteBackActive = 0;
WISAM_API int32_t isGlobalIndexCacheActive = 0;
WISAM_API int32_t isFileCacheMaxMemUsage = 0x08000000;
WISAM_API int32_t isDefaultDataCacheLines = 128;
WISAM_API int32_t isDefaultDataCacheAssociativity = 16;
WISAM_API int32_t isDefaultIndexCacheLines = 16;
WISAM_API int32_t isDefaultIndexCacheAssociativity = 4;
WISAM_API int32_t isGlobalIndexCacheLines = 256;
WISAM_API int32_t isGlobalIndexCacheAssociativity = 32;
}
