#include "common/KspError.h"

SECURITY_STATUS CKspError::GetStatus() const
{
    return static_cast<SECURITY_STATUS>(m_dwError);
}

SECURITY_STATUS CKspCapiError::GetStatus() const
{
    // A CSP that would have to show a dialog in a silent context tells CNG
    // that the user interface is required; every other value passes as it is.
    if (m_dwError == static_cast<DWORD>(NTE_SILENT_CONTEXT)) {
        return NTE_UI_REQUIRED;
    }
    return static_cast<SECURITY_STATUS>(m_dwError);
}
