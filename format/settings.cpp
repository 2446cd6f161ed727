#include "settings.h"

#include <cstring>

unsigned Setting_named(const char *name)
{
    for (const Setting &setting : SETTINGS)
        if (setting.kind != DATA_NONE && std::strcmp(setting.name, name) == 0)
            return setting.type;
    return 0;
}
