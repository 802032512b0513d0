// KZVolSnap: the backup agent's unmangled entry to content snapshots. Each call
// works through its own driver-mode volume object on the admin node.
#include <memory>

#include "filter/DriverChannel.h"
#include "metadata/ContentSnap.h"
#include "volume/KZVolume.h"

extern "C" int KZVolSnap(int op, kz_subclient_contentlist* list) {
    if (!list || (op != KZVOLSNAP_SNAP && op != KZVOLSNAP_RELEASE))
        return 0;
    auto driver = std::make_unique<KZVolumeUnix>(kzvol::kQnbfAdminNode);
    const bool done =
        op == KZVOLSNAP_SNAP ? driver->FSpodSnap(list) : driver->UnmountUnsnapAll(list);
    return done ? 1 : 0;
}
