/* inside.h - where the benchmarks may run a manager with group networking
 * on: it sends on every interface it finds, so only inside a testbed
 * server's network namespace. */
#ifndef ZVGM_BENCH_INSIDE_H
#define ZVGM_BENCH_INSIDE_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when every IPv4 address of this network namespace other than loopback
 * lies in the testbed's networks, 198.51.100.0/24 and 203.0.113.0/24, and
 * there is one: a testbed server's namespace. 0 anywhere else. */
int insideTestbedServer(void);

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_BENCH_INSIDE_H */
