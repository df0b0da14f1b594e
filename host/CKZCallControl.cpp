#include "host/CKZCallControl.h"

namespace KZAPI {

unsigned CKZCallControl::ResetCallStatus() {
    ResetCall();
    return 1;
}

} // namespace KZAPI
