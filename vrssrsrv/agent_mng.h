#pragma once
// Tells the management agent that the component's state or configuration
// changed, so that it asks again.
#include <functional>

void notify_status_changed();
void notify_config_changed();

// Sees each notification as it is sent ("status" or "full"); for tests and
// diagnostics.
void set_agent_notification_observer(std::function<void(const wchar_t* what)> observer);
