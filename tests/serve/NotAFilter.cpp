// A library that loads but is not a filter: it exports neither entry point.
extern "C" __attribute__((visibility("default"))) int QelmorNotAFilter() {
    return 42;
}
