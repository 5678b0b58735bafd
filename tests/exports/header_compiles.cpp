// Compiled as C++: the public header must stand alone there too.
#include "qorvi_netpod.h"

int NetpodHeaderCompilesAsCxx() {
    TData_Received_MAINPORT data = [](RegisterValues*, ComID) {};
    TCom_Event event = [](int32_t, ComID) {};
    return data != nullptr && event != nullptr ? static_cast<int>(sizeof(ModuleInfo)) : 0;
}
