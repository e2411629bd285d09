// The heap the module takes through its platform layer. The benchmark is linked with
// --wrap=malloc,calloc,free, which routes the calls made by the objects of this program (the
// module's core and posix platform, the benchmark itself; not shared libraries such as
// cfitsio or the C++ runtime) through a counter.
#pragma once

#include <cstdint>

struct HeapCount {
    int64_t calls = 0; // malloc and calloc calls while counting
    int64_t peak = 0;  // largest sum of live bytes from those calls
};

void startHeapCount();
HeapCount stopHeapCount();
