/* Compiled as C99: the public header must stand alone there too. */
#include "qorvi_netpod.h"

static void on_values(RegisterValues* values, ComID com) { (void)values; (void)com; }
static void on_event(int32_t code, ComID com) { (void)code; (void)com; }

int netpod_header_compiles_as_c(void) {
    TData_Received_MAINPORT data = on_values;
    TCom_Event event = on_event;
    ComID com = NULL;
    ModuleInfo modules[2];
    (void)data;
    (void)event;
    (void)com;
    (void)modules;
    return (int)sizeof(RegisterValues);
}
