#ifndef RUNTIME_STATICTLS_H_
#define RUNTIME_STATICTLS_H_

// Marks the library's few thread-local variables (a handful of bytes) for
// the static TLS block: reached without __tls_get_addr, so a host that
// unloads the library and loads it again leaves no dynamic TLS block behind
// for other code (a leak checker walking every thread's blocks among them)
// to trip over. Loading needs that much spare static TLS, which the C
// library keeps for this.
#define KVO_STATIC_TLS __attribute__((tls_model("initial-exec")))

#endif  // RUNTIME_STATICTLS_H_
