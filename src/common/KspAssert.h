// Preconditions on object state, reported through the C runtime's
// wide-character assertion facility with the condition text and the unit.
#ifndef KSP_ASSERT_H
#define KSP_ASSERT_H

#include <assert.h>

#include "common/KspPlatform.h"

#define KSP_WIDE(x) TEXT(x)

// pszUnit names the source unit (TEXT("KspCAPIKeyContext")); the condition
// is reported with its own text.
#define KSP_ASSERT(fCondition, pszUnit) ((fCondition) ? (void)0 : _wassert(KSP_WIDE(#fCondition), (pszUnit), __LINE__))

// For a condition whose reported text is not its source text.
#define KSP_ASSERT_TEXT(fCondition, pszText, pszUnit)                                                                  \
    ((fCondition) ? (void)0 : _wassert((pszText), (pszUnit), __LINE__))

#endif
