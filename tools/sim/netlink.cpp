// The network daemon "NetLinkD": the daemon asks it to switch the
// appliance to its mode without GUI (request 10).
#include <atomic>
#include <cstdlib>

#include "ipc/ipc.h"
#include "peer.h"
#include "peers.h"
#include "requests/request_codes.h"
#include "sim_console.h"

namespace {

const char kWho[] = NETLINK_PROCESS_NAME;
std::atomic<bool> gNoGui{false};

void onRequest(const void *msg, const void *, int, ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    const RequestHeader *hdr = static_cast<const RequestHeader *>(msg);
    if (hdr->requestCode != NETLINK_NO_GUI_SWITCH) {
        simSay(kWho, "request code %u unknown", hdr->requestCode);
        outHdr->status = 1;
        return;
    }
    bool before = gNoGui.exchange(true);
    simSay(kWho, before ? "already without GUI" : "switching the appliance to its mode without GUI");
    uint8_t *flag = static_cast<uint8_t *>(malloc(1));
    if (flag) {
        *flag = 1;
        *outPayload = flag;
        *outLen = 1;
    }
}

bool onControl(const std::vector<std::string> &words)
{
    if (words[0] != "gui" || words.size() != 1)
        return false;
    gNoGui = false;
    simSay(kWho, "GUI back");
    return true;
}

}  // namespace

int runNetlink(int, char **)
{
    peerProcessSetup();
    if (!peerOpenEndpoints(kWho, NETLINK_PROCESS_ID, {[] { return IPC_OpenReplyServer(onRequest); }}))
        return 1;
    simSay(kWho, "network daemon ready");
    PeerLoop loop;
    loop.name = kWho;
    loop.tickMs = 1000;
    loop.onControl = onControl;
    return servePeer(loop);
}
