// A tiny shared module without a file version note (platform tests).
extern "C" __attribute__((visibility("default"))) int PlainModuleAnswer() {
  return 7;
}
