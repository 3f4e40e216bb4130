#include <windows.h>
extern "C" HRESULT WINAPI CeRapiUninit(void){return 0;}
