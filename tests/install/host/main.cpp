// A host built only from the installed header and library.
#include <cstdio>

#include <TolvenixUtilities.h>

int main() {
  if (SIMGetFrameLag() != 0) return 1;
  if (SIMGetNextFrameBuffer() != nullptr) return 2;
  SIMStop();
  std::puts("installed host ok");
  return 0;
}
