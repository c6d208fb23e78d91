#include "remote_if_double.h"

#include "requests/remote_if.h"

RemoteIfDouble remoteIfDouble;

uint64_t RemoteIF_getSysTime() { return remoteIfDouble.sysTime; }

int16_t RemoteIF_getMotorValueFT()
{
    remoteIfDouble.motorValueCalls++;
    return remoteIfDouble.motorValueFT;
}

int32_t RemoteIF_getMotorValueTS()
{
    remoteIfDouble.motorValueCalls++;
    return remoteIfDouble.motorValueTS;
}

uint8_t RemoteIF_requestSecondaryMotorData()
{
    remoteIfDouble.secondaryDataRequests++;
    return remoteIfDouble.secondaryDataResult;
}
