#include "src/ipc/IpcClientState.h"

IpcClientState& IpcState() {
    static IpcClientState state;
    return state;
}

void IpcClient_RequestStop() {
    IpcClientState& state = IpcState();
    {
        std::lock_guard guard(state.stopLock);
        state.stopService = true;
    }
    state.stopSignal.notify_all();
}

bool IpcClient_Stopping() {
    return IpcState().stopService.load();
}
