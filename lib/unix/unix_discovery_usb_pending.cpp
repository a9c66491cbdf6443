// Stand-in for USB enumeration until the USB transport lands: no USB module is
// ever reported. Delete this file in the same commit that adds the real one.

#include "lib/common/discover.h"

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc, void*)
{
    return 0;
}
