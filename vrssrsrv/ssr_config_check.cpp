#include "ssr_config_check.h"

#include "ssr_policy_ops.h"
#include "ssr_scheduler.h"

void check_full_config(const std::wstring& text) {
    // The order of the service's own locks (settings before scheduler).
    CSSROpSettingsLocker settingsLock;
    CSSRSchedulerLocker schedulerLock;
    // The schedule check answers 87 for every fault; checked second, a
    // document that does not parse is refused with its parse error.
    CSSROpSettings::instance().check_new_settings(text);
    CSSRScheduler::instance().check_schedule(text);
}
