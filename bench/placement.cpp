#include "placement.h"

OneCpu::~OneCpu() { unpinCpu(this); }

bool pinToOneCpu(OneCpu *pin)
{
    if (pin->pinned || sched_getaffinity(0, sizeof pin->former, &pin->former) != 0)
        return pin->pinned;
    int cpu = sched_getcpu();
    if (cpu < 0)
        return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        return false;
    pin->pinned = true;
    pin->cpu = cpu;
    return true;
}

void unpinCpu(OneCpu *pin)
{
    if (!pin->pinned)
        return;
    sched_setaffinity(0, sizeof pin->former, &pin->former);
    pin->pinned = false;
    pin->cpu = -1;
}
