// The handle maps turn the standard library's exceptions into status errors
// before they leave a map operation; the module's own errors pass unchanged.
#ifndef KSP_MAP_ERRORS_H
#define KSP_MAP_ERRORS_H

#include <exception>
#include <new>

#include "common/KspError.h"

template <typename TOperation> auto KspMapOperation(TOperation fnOperation) -> decltype(fnOperation())
{
    try {
        return fnOperation();
    } catch (const std::bad_alloc &) {
        throw CKspError(NTE_NO_MEMORY);
    } catch (const std::exception &) {
        throw CKspError(NTE_INTERNAL_ERROR);
    }
}

#endif
