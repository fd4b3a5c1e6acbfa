#include "launcher/entry.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::initialise();
  return velmora::run(platform::arguments(argc, argv));
}
