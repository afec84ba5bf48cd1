#include "ssr_dump_folder.h"

#include "path_ops.h"
#include "ssr_communication.h"

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
    // Set even when empty: no folder means no dumps, never a fallback; that
    // the service runs without them is said where administrators look.
    VrBase::SetMiniDumpFolder(folder);
    if (folder.empty())
        CSSRCommunication::instance().reg_evt_service_error(
            std::wstring(L"The service has no dump folder of its own (") + kDumpFolderName +
            L" in LocalProtectionDir could not be made safe); it runs without minidumps.");
}
