// Rejected: a helper-message row whose send is not the row's selector.
#include "platform/macos/helper_messages.h"

namespace macos_backend::helper_messages {

constexpr Row kSwapped[] = {
    // expected-error@+1 {{the row's send does not send its selector}}
    VLT_ROW(iosOff:completion:, [helper setForce:a[0] state:a[1] completion:done(deliver)]),
    // expected-error@+2 {{the row's send does not send its selector}}
    // expected-error@+1 {{no known instance method for selector 'setForce:completion:'}}
    VLT_ROW(setForce:state:completion:, [helper setForce:a[0] completion:done(deliver)]),
};

}  // namespace macos_backend::helper_messages
