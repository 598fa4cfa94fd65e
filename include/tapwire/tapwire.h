/*
 * tapwire.h: the C ABI between Corvid and a client probe.
 *
 * A probe is a shared library that starts or attaches a Parlo desktop client and exchanges JSON
 * messages with it. Corvid loads it with dlopen and calls only the functions declared here; the
 * simulated client in tapwire-sim/ implements the same ABI, so anyone writing a probe for a real
 * client can use it as a reference.
 *
 * Conventions
 *   - Every operation returns an int32_t status: 0 = success, anything else = failure. After a
 *     failure, tapwire_last_error() gives a UTF-8 text describing it; the text belongs to the
 *     calling thread and stays valid until that thread's next call into the probe.
 *   - Texts are UTF-8 and NUL-terminated; JSON texts also carry an explicit length.
 *   - Process ids, client ids and results are int64_t, returned through out-parameters.
 *   - Callbacks are called only after tapwire_init_callback, on threads the probe owns (never
 *     on a thread that called into the probe while it holds a lock of the caller's). The JSON
 *     passed to the receive callback is valid only during the call. A callback returns 0 when
 *     it handled the message and non-zero when it failed; the probe must survive either.
 *   - Per client id the probe delivers: accept, then the ready message (MT_READY_MSG, whose
 *     "data" holds "pid"), then any other message, then close. The ready message may arrive
 *     before tapwire_open returns. Client ids are never reused within a process.
 *   - The probe keeps the callbacks and their user pointer until the process exits.
 *
 * Messages are JSON objects: {"type": <code>, "data": <object or list>, "extend": <text>}.
 * A reply to a request carries the request's code as "type" and echoes its "extend".
 */
#ifndef TAPWIRE_TAPWIRE_H
#define TAPWIRE_TAPWIRE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAPWIRE_ABI_VERSION 1

/* ---- message-type codes: events the probe reports (notify) ------------------------------- */
#define MT_RECV_TEXT_MSG 11046
#define MT_RECV_IMAGE_MSG 11047
#define MT_RECV_VOICE_MSG 11048
#define MT_RECV_VIDEO_MSG 11049
#define MT_RECV_FILE_MSG 11050
#define MT_RECV_EMOJI_MSG 11051
#define MT_RECV_CARD_MSG 11052
#define MT_RECV_LOCATION_MSG 11053
#define MT_RECV_LINK_MSG 11054
#define MT_RECV_MINIAPP_MSG 11055
#define MT_RECV_PAY_MSG 11056
#define MT_RECV_SYSTEM_MSG 11057
#define MT_RECV_REVOKE_MSG 11058
#define MT_RECV_OTHER_MSG 11059
#define MT_RECV_OTHER_APP_MSG 11060
#define MT_RECV_FRIEND_MSG 11061
#define MT_CONTACT_ADD_NOITFY_MSG 11098 /* the spelling NOITFY is the established name */
#define MT_CONTACT_DEL_NOTIFY_MSG 11099
#define MT_ROOM_ADD_MEMBER_NOTIFY_MSG 11100
#define MT_ROOM_DEL_MEMBER_NOTIFY_MSG 11101
#define MT_ROOM_CREATE_NOTIFY_MSG 11102
#define MT_ROOM_DEL_NOTIFY_MSG 11103
#define MT_USER_LOGIN_MSG 11025 /* data: {"uid", "nickname", ...} */
#define MT_USER_LOGOUT_MSG 11026
#define MT_READY_MSG 11024           /* data: {"pid"}; first message of every client id */
#define MT_RECV_PARLO_QUIT_MSG 11001 /* never sent by a probe: Corvid builds it on close */
#define MT_RECV_LOGIN_QRCODE_MSG 11087

/* The name under which Corvid emits every event a second time; no message carries it. */
#define MT_ALL 11999

/* ---- message-type codes: requests to the probe (send) ------------------------------------ */
#define MT_SQL_QUERY_MSG 11200 /* data: {"sql", "db"} -> reply data {"result": [[...]]} */
#define MT_GET_SELF_MSG 11201
#define MT_GET_CONTACTS_MSG 11202
#define MT_GET_PUBLICS_MSG 11203
#define MT_GET_CONTACT_DETAIL_MSG 11204 /* data: {"uid"} */
#define MT_GET_ROOMS_MSG 11205
#define MT_GET_ROOM_DETAIL_MSG 11206  /* data: {"room_uid"} */
#define MT_GET_ROOM_MEMBERS_MSG 11207 /* data: {"room_uid"} */
#define MT_SEND_TEXT_MSG 11208        /* data: {"to_uid", "content"} */
#define MT_SEND_ROOM_AT_MSG 11209     /* data: {"to_uid", "content", "at_list"} */
#define MT_SEND_CARD_MSG 11210        /* data: {"to_uid", "card_uid"} */
#define MT_SEND_LINK_MSG 11211        /* data: {"to_uid", "title", "desc", "url", "image_url"} */
#define MT_SEND_IMAGE_MSG 11212       /* data: {"to_uid", "file"} */
#define MT_SEND_FILE_MSG 11213        /* data: {"to_uid", "file"} */
#define MT_SEND_VIDEO_MSG 11214       /* data: {"to_uid", "file"} */
#define MT_SEND_GIF_MSG 11215
#define MT_SEND_XML_MSG 11216
#define MT_SEND_PAT_MSG 11217
#define MT_ACCEPT_FRIEND_MSG 11218
#define MT_CREATE_ROOM_MSG 11219 /* data: a list of member uids */
#define MT_ADD_TO_ROOM_MSG 11220
#define MT_INVITE_TO_ROOM_MSG 11221
#define MT_DEL_ROOM_MEMBER_MSG 11222
#define MT_MOD_ROOM_NAME_MSG 11223
#define MT_MOD_ROOM_NOTICE_MSG 11224
#define MT_ADD_FRIEND_MSG 11225
#define MT_QUIT_DEL_ROOM_MSG 11226
#define MT_MODIFY_FRIEND_REMARK 11227

#define TAPWIRE_SEND_CODE_FIRST MT_SQL_QUERY_MSG
#define TAPWIRE_SEND_CODE_LAST MT_MODIFY_FRIEND_REMARK

/* ---- callbacks --------------------------------------------------------------------------- */
typedef int32_t (*tapwire_accept_fn)(void* user, int64_t client_id);
typedef int32_t (*tapwire_recv_fn)(void* user, int64_t client_id, const char* json, size_t len);
typedef int32_t (*tapwire_close_fn)(void* user, int64_t client_id);

/* ---- the probe package ------------------------------------------------------------------- */
/* Optional. The client versions this probe supports, in order; static storage for the life of
 * the process. A probe without this symbol leaves the choice to Corvid's own list. */
const char* const* tw_support_versions(size_t* count);

/* Optional. Run once after the library is loaded from an explicit file; 0 = ready. */
int32_t tapwire_module_init(void);

/* ---- the probe --------------------------------------------------------------------------- */
/* TAPWIRE_ABI_VERSION of the library. */
int32_t tapwire_abi_version(void);

/* Error text of the calling thread's last failed call ("" when none). */
const char* tapwire_last_error(void);

/* Writes the installed client's version (e.g. "3.9.2.26") into buf, NUL-terminated, when it
 * fits in cap bytes; *needed (if not NULL) receives the length without the NUL. Fails when the
 * text does not fit. */
int32_t tapwire_get_install_parlo_version(char* buf, size_t cap, size_t* needed);

/* Prepares the probe for the client version whose helper file is given, and the client
 * executable at parlo_exe_path ("" = the installed client). */
int32_t tapwire_init_env(const char* helper_file_path, const char* parlo_exe_path);

/* Registers the three callbacks; user is passed back to each of them. */
int32_t tapwire_init_callback(tapwire_accept_fn on_accept, tapwire_recv_fn on_recv,
                              tapwire_close_fn on_close, void* user);

/* Asks the next started client to show its login QR code. */
int32_t tapwire_show_login_qrcode(void);

/* Starts a client; *out_pid receives its process id, 0 when no client was started. */
int32_t tapwire_open(int32_t smart, int64_t* out_pid);

/* Attaches to / detaches from a running client; *out_result (non-zero = done) is passed back
 * to Corvid's callers unchanged. */
int32_t tapwire_attach(int64_t pid, int64_t* out_result);
int32_t tapwire_detach(int64_t pid, int64_t* out_result);

/* Sends one JSON envelope to the client of client_id; *out_result is passed back unchanged.
 * Must not wait for the client: it hands the envelope over (a queue, a non-blocking write) and
 * returns, leaving the client's reply, if any, to the receive callback. Corvid calls it from
 * its event-loop threads, any number at once, so a send that waited would stall other callers.
 * A failure is reported at once (status and tapwire_last_error), never after waiting. */
int32_t tapwire_send(int64_t client_id, const char* json, size_t len, int64_t* out_result);

#ifdef __cplusplus
}
#endif

#endif /* TAPWIRE_TAPWIRE_H */
