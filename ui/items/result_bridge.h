// Carries results and engine messages from the desktop layer's windows to the
// item list and the event list: WM_DNS_RESULT to the result evaluation, and
// WM_EVENT_MESSAGE to the event list. Installs the result hooks that evaluation
// calls out to (row texts and images, event rows, alert dispatch).
#pragma once

namespace varnell {

class CDnsItemView;

// Registers the result and event windows with GetUiChannel(), records them in
// Engine(), and installs the result hooks. Call on the user-interface thread,
// before the engine threads start.
void InstallResultBridge(CDnsItemView* view);
// Undoes InstallResultBridge; later messages for the two windows are dropped.
void RemoveResultBridge();

} // namespace varnell
