#include "ssr_actions.h"

#include "guid_helper.h"
#include "i18n/i18n.h"
#include "path_ops.h"
#include "sid_helpers.h"
#include "ssr_backup_read.h"
#include "ssr_communication.h"
#include "ssr_disk_depot.h"
#include "ssr_file_info.h"
#include "ssr_path_review.h"
#include "ssr_policy_ops.h"
#include "ssr_scan_events.h"
#include "ssr_state.h"
#include "ssr_wrk_pool.h"

#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstring>
#include <memory>

namespace {

struct ScanRequest {
    DWORD source;
    std::wstring userSid;
};

ScanRequest read_scan_request(const void* data) {
    if (!data) VR_RAISE(ERROR_INVALID_PARAMETER, L"software_scan");
    const BYTE* bytes = static_cast<const BYTE*>(data);
    ScanRequest request;
    std::memcpy(&request.source, bytes, sizeof(DWORD));
    PSID sid = const_cast<BYTE*>(bytes + sizeof(DWORD));
    if (!::IsValidSid(sid)) VR_RAISE(ERROR_INVALID_PARAMETER, L"software_scan");
    request.userSid = get_StrSID_4m_SID(sid);
    return request;
}

// On one processor the scan yields to the user's work.
std::shared_ptr<CThreadBackgroundTrigger> enter_scan_mode() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    if (info.dwNumberOfProcessors > 1) {
        VR_TRACE(VrBase::TL_INFO, L"software_scan", L"There are more then one processor. Forced mode on.");
        return nullptr;
    }
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L"There is only one processor. Background mode on.");
    return std::make_shared<CThreadBackgroundTrigger>();
}

void save_document(const std::wstring& operationId, const std::wstring& userSid, const FileObjectMap& files) {
    CScanErrorEvtReg saveError(operationId, userSid, L"", SSR_STAGE_SAVE_DOCUMENT, SSR_REASON_GENERAL);
    {
        CSSRDiskDepotLocker depot;
        CSSRDiskDepot::instance().save_software_state(operationId, files);
    }
    saveError.disarm();
}

void mark_complete(CScanStateRollback& rollback) {
    CSSRStateLocker state;
    CSSRState::instance().set_scan_state(kStatusComplete, SES_SOURCE_SERVICE);
    rollback.disarm();
}

// Targets checked, walked and hashed into files; false when no target is
// left. Only this part reads what a DACL may close to the service, so only
// it holds the backup privilege: the document is written without it.
bool collect_files(HANDLE abortEvent, PathSet& targets, PathSet& exclusions, const PathSet& extensions,
                   const std::wstring& operationId, const std::wstring& userSid, FileObjectMap& files) {
    CThreadBackupPrivilege reading;
    if (reading.error()) {
        VR_TRACE(VrBase::TL_ERROR, L"software_scan",
                 L"SeBackupPrivilege cannot be enabled (%u): folders and files whose DACL denies the service are "
                 L"reported, not read.",
                 static_cast<unsigned>(reading.error()));
        VrBase::GuardVoid(L"software_scan", [&] {
            reg_evt_scan_error(operationId, SSR_STAGE_COLLECT_FILE, L"", SSR_REASON_GENERAL, userSid);
        });
    }
    {
        CScanErrorEvtReg targetError(operationId, userSid, L"", SSR_STAGE_TARGET_CHECK, SSR_REASON_GENERAL);
        // A target that is gone, or is no folder, must not pass for an
        // empty one.
        trg_paths_check_and_adjustment(targets, exclusions, [&](const std::wstring& target) {
            reg_evt_file_error(operationId, SSR_STAGE_COLLECT_FILE, target, userSid);
        });
        targetError.disarm();
    }
    if (targets.empty()) return false;

    VR_TRACE(VrBase::TL_INFO, L"software_scan", L"Scan paths:");
    for (const std::wstring& target : targets) VR_TRACE(VrBase::TL_INFO, L"software_scan", L"   %ls", target.c_str());

    mission_abort_required(abortEvent);
    targets_review(abortEvent, targets, exclusions, extensions, operationId, userSid, files);
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L"Files review done. %I64u found",
             static_cast<unsigned long long>(files.size()));
    calc_fo_checksums(abortEvent, operationId, userSid, files);
    return true;
}

void run_scan(HANDLE abortEvent, const void* data) {
    std::shared_ptr<CThreadBackgroundTrigger> background = enter_scan_mode();
    CPrefferedProductLanguages languages;

    const ScanRequest request = read_scan_request(data);
    const std::wstring operationId = get_new_guid();
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L" scan started!!");
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L" op id:    <%ls>", operationId.c_str());
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L" source:   <%d>", static_cast<int>(request.source));
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L" user sid: <%ls>", request.userSid.c_str());

    CScanStateRollback rollback;
    {
        CSSRStateLocker state;
        if (CSSRState::instance().is_scan_in_progress()) {
            VR_TRACE(VrBase::TL_INFO, L"software_scan", L"Scan already in progress! No action required!");
            return;
        }
        CSSRState::instance().set_scan_state(kStatusInProgress, request.source);
        rollback.arm();
        CSSRDiskDepotLocker depot;
        CSSRDiskDepot::instance().delete_soft_state();
    }

    VR_TRACE(VrBase::TL_INFO, L"software_scan", L"Scan operation started. Op source: %d",
             static_cast<int>(request.source));
    CScanStartStopEvtReg startStop(operationId, request.userSid, request.source);

    PathSet targets, exclusions, extensions;
    {
        CSSROpSettingsLocker settings;
        targets = CSSROpSettings::instance().get_scan_paths();
        exclusions = CSSROpSettings::instance().get_scan_exclusions();
        extensions = CSSROpSettings::instance().get_scan_extensions();
    }
    mission_abort_required(abortEvent);

    FileObjectMap files;
    if (!collect_files(abortEvent, targets, exclusions, extensions, operationId, request.userSid, files)) {
        VR_TRACE(VrBase::TL_WARNING, L"software_scan", L"No correct scan paths! Empty SES will be created.");
        save_document(operationId, request.userSid, FileObjectMap());
        mark_complete(rollback);
        return;
    }
    save_document(operationId, request.userSid, files);
    VR_TRACE(VrBase::TL_INFO, L"software_scan", L" Scan finished! <%ls>", operationId.c_str());
    mark_complete(rollback);
}

} // namespace

void software_scan(HANDLE abortEvent, void* data) {
    VrBase::CSehCatcher catcher;
    VrBase::CRTLTranslator translator;
    VrBase::GuardVoid(L"software_scan", [&] { run_scan(abortEvent, data); });
}

CScanStartStopEvtReg::CScanStartStopEvtReg(std::wstring operationId, std::wstring userSid, DWORD source)
    : m_operationId(std::move(operationId)), m_userSid(std::move(userSid)) {
    CSSRCommunication::instance().reg_evt_scan_start(source, m_operationId, m_userSid);
}

CScanStartStopEvtReg::~CScanStartStopEvtReg() {
    VrBase::GuardVoid(L"CScanStartStopEvtReg::~CScanStartStopEvtReg",
                      [&] { CSSRCommunication::instance().reg_evt_scan_finished(m_operationId, m_userSid); });
}

CScanStateRollback::~CScanStateRollback() {
    if (!m_armed) return;
    VrBase::GuardVoid(L"CScanStateRollback::~CScanStateRollback", [] {
        CSSRStateLocker state;
        CSSRState::instance().set_scan_state(kStatusNone, SES_SOURCE_SERVICE);
    });
}
