// The platform services handed to the main window at start-up, real or fake.
#pragma once

class CaptureDriverRegistry;
class PowerServices;

struct Platform {
    CaptureDriverRegistry* drivers = nullptr;  // driver list and capture windows
    PowerServices* power = nullptr;            // wake privilege, wake timer, suspend, hibernate
};
