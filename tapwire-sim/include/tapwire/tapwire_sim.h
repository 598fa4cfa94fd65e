/*
 * tapwire_sim.h: controls of the simulated client (libtapwire.so built from tapwire-sim/).
 *
 * Tests and load tools use these to make the simulated client behave in a chosen way; Corvid
 * itself never calls them. Every function returns 0 on success and non-zero on failure, with
 * the text in tapwire_last_error(). The same commands are available as JSON lines over a Unix
 * socket when the environment variable TAPWIRE_SIM_CONTROL names its path (see
 * tapwire_sim_command for the command set).
 */
#ifndef TAPWIRE_TAPWIRE_SIM_H
#define TAPWIRE_TAPWIRE_SIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reply behaviour of one request code (0 = every request code). */
enum tapwire_sim_reply_mode {
  TAPWIRE_SIM_REPLY_NORMAL = 0,    /* reply at once */
  TAPWIRE_SIM_REPLY_DROP = 1,      /* never reply */
  TAPWIRE_SIM_REPLY_DELAY = 2,     /* reply after delay_ms */
  TAPWIRE_SIM_REPLY_DUPLICATE = 3, /* reply twice */
  TAPWIRE_SIM_REPLY_NO_DATA = 4,   /* reply without a "data" key */
  TAPWIRE_SIM_REPLY_MALFORMED = 5  /* reply with a text that is not JSON */
};

/* Runs one command given as a JSON object text and writes the JSON answer ({"ok": true, ...}
 * or {"ok": false, "error": "..."}) into buf when it fits (*needed = its length). Commands:
 *   {"cmd": "inject", "message": {...}, "count": N, "interval_ms": M, "stamp": bool, "size": B}
 *   {"cmd": "login", "uid": "...", "nickname": "..."}     {"cmd": "logout"}
 *   {"cmd": "quit"}                                       the client process exits
 *   {"cmd": "fail", "op": "open|attach|detach|send|init_env|...", "text": "..." | null}
 *   {"cmd": "answer", "op": "attach|detach", "result": N | null}
 *   {"cmd": "reply", "code": N, "mode": "normal|drop|delay|duplicate|no_data|malformed",
 *    "delay_ms": M}
 *   {"cmd": "ready", "before_open_returns": bool, "delay_ms": M}  (M: ready M ms after the
 *    return; default 20)
 *   {"cmd": "auto_login", "enabled": bool}                {"cmd": "spawn"} -> {"pid": P}
 *   {"cmd": "sent"} -> {"sent": ["<envelope text>", ...]} {"cmd": "clear_sent"}
 *   {"cmd": "state"} -> {"pid", "client_id", "logged_in", "uid"}
 *   {"cmd": "reset"} */
int32_t tapwire_sim_command(const char* json, size_t len, char* buf, size_t cap, size_t* needed);

/* Delivers message (a JSON object) count times to the current client, interval_ms apart. */
int32_t tapwire_sim_inject(const char* message_json, size_t len, int64_t count,
                           int64_t interval_ms);

/* The user of the current client logs in as uid / logs out. */
int32_t tapwire_sim_login(const char* uid, const char* nickname);
int32_t tapwire_sim_logout(void);

/* The current client process exits: its connection closes. */
int32_t tapwire_sim_quit(void);

/* Starts a client process that no probe is attached to yet; *out_pid receives its pid. */
int32_t tapwire_sim_spawn(int64_t* out_pid);

/* Makes the probe operation op ("open", "attach", "detach", "send", "init_env",
 * "init_callback", "show_login_qrcode", "get_install_parlo_version") fail with text;
 * text NULL makes it succeed again. */
int32_t tapwire_sim_fail(const char* op, const char* text);

/* Makes "attach" or "detach" answer result at once (after its argument checks), without
 * touching any client: no connection opens or closes. enabled 0 makes it work again. */
int32_t tapwire_sim_answer(const char* op, int64_t result, int32_t enabled);

/* How requests of code are answered (code 0 = all). */
int32_t tapwire_sim_reply(int32_t code, int32_t mode, int64_t delay_ms);

/* Whether the ready message is delivered before tapwire_open returns (default: after). */
int32_t tapwire_sim_ready_before_open(int32_t enabled);

/* Whether a started client logs in by itself (default: yes, within 2 s). */
int32_t tapwire_sim_auto_login(int32_t enabled);

/* The installed client version reported by the probe (default "3.9.2.26"). */
int32_t tapwire_sim_set_install_version(const char* version);

/* The recorded envelopes, as exact JSON texts, in a JSON list written into buf. */
int32_t tapwire_sim_sent(char* buf, size_t cap, size_t* needed);
int32_t tapwire_sim_clear_sent(void);

/* Back to the initial state: clients closed, data re-seeded, controls cleared. Callbacks stay
 * registered. */
int32_t tapwire_sim_reset(void);

/* Stops every simulation thread and joins it; no callback runs after it returns. */
int32_t tapwire_sim_stop(void);

#ifdef __cplusplus
}
#endif

#endif /* TAPWIRE_TAPWIRE_SIM_H */
