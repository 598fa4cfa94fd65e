// A stand-in probe library that loads fine but has no version list.
extern "C" __attribute__((visibility("default"))) int tapwire_abi_version() { return 1; }
