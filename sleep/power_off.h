// Asks the system to power off (systemd-logind over the system bus).
#pragma once

// True when logind accepted the request.
bool PowerOff();
