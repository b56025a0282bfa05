// The data mover's settings store. Each getter returns 1 when the setting
// exists and the value was stored, 0 otherwise (the output is then untouched).
#pragma once

#include <string>

class BXPlatformInfo {
  public:
    BXPlatformInfo();
    int getString(const char* section, const char* name, std::string* value);
    int getBoolean(const char* section, const char* name, bool* value);
    int getNumber(const char* section, const char* name, unsigned long* value);
};
