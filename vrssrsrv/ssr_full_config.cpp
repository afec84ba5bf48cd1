#include "ssr_full_config.h"

#include "agent_mng.h"
#include "ssr_config_check.h"
#include "ssr_disk_depot.h"
#include "ssr_policy_ops.h"
#include "ssr_scheduler.h"
#include "ssr_state.h"
#include "vrbase/exception_guard.h"

void accept_full_config(const std::wstring& text) {
    // The state lock is taken before the depot's, as on every other path
    // (see CSSRStateLocker): building a schedule reads the scan state.
    CSSROpSettingsLocker settingsLock;
    CSSRSchedulerLocker schedulerLock;
    CSSRStateLocker stateLock;
    CSSRDiskDepotLocker depotLock;
    CSSRScheduler& scheduler = CSSRScheduler::instance();
    CSSROpSettings& settings = CSSROpSettings::instance();
    check_full_config(text);
    CSSRDiskDepot::instance().save_last_config(text);
    scheduler.apply_schedule(text);
    settings.apply_new_settings(text);
    // The document is in force; a lost notice must not report it refused.
    VrBase::GuardVoid(L"accept_full_config", [] { notify_config_changed(); });
}
