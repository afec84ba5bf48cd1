#include "ssr_dump_folder.h"

#include "path_ops.h"

#include "vrbase/exception_guard.h"
#include "vrbase/minidump.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

void prepare_dump_folder() {
    std::wstring folder;
    VrBase::GuardVoid(L"prepare_dump_folder", [&] {
        const std::wstring path = expand_path(std::wstring(L"%LocalProtectionDir%") + kDumpFolderName);
        if (path.find(L'%') != std::wstring::npos) VR_RAISE(ERROR_ENVVAR_NOT_FOUND, L"prepare_dump_folder");
        if (VrBase::Trust::EnsureAdminOnlyFolder(path, false))
            VR_TRACE(VrBase::TL_WARNING, L"prepare_dump_folder", L"dump folder <%ls> repaired", path.c_str());
        folder = path;
    });
    // Set even when empty: no folder means no dumps, never a fallback.
    VrBase::SetMiniDumpFolder(folder);
}
