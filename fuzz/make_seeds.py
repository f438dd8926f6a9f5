#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

Seeds are small, readable starting points: one per operation, plus the odd cases a client may
send (bad headers, bodies that are not JSON, parameters of the wrong type). Inputs that a fuzz
run finds and keeps are added next to them. Run from anywhere; existing files are overwritten.
"""
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(body):
    data = body.encode() if isinstance(body, str) else body
    return b"%010d" % len(data) + data


def request(act, op, params=None):
    document = {"act": act, "op": op}
    if params is not None:
        document["params"] = params
    return json.dumps(document, separators=(",", ":"))


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data.encode() if isinstance(data, str) else data)


REQUESTS = {
    "follow_add": request("follow", "add", {"user_id": 5, "friends": [7, 3, 7]}),
    "follow_del": request("follow", "del", {"user_id": 5, "friends": [3]}),
    "follow_fetch": request("follow", "fetch", {"user_id": 5}),
    "follow_unknown_op": request("follow", "remove", {"user_id": 5}),
    "inviter_add": request("inviter", "add", {"user_id": 7, "inviter_id": 3}),
    "inviter_list": request("inviter", "list", {"user_id": 5}),
    "inviter_invitees": request("inviter", "invitees", {"user_id": 1}),
    "item_add": request("special", "add", {"user_id": 5, "specials": [
        {"spid": 10, "type": 0}, {"spid": 11, "type": 1}]}),
    "item_del": request("special", "del", {"user_id": 5, "specials": [{"spid": 10, "type": 0}]}),
    "fetch_pub": request("special", "fetch_pub", {"special_id": -1, "count": 10, "type": 1}),
    "fetch_pri": request("special", "fetch_pri",
                         {"user_id": 7, "special_id": 0, "count": 20, "type": 0}),
    "fetch_self": request("special", "fetch_self",
                          {"user_id": 5, "special_id": 100, "count": 5, "type": 1}),
    "unknown_act": request("nothing", "x"),
    "negative_user": request("follow", "fetch", {"user_id": -1}),
    "string_user": request("follow", "fetch", {"user_id": "5"}),
    "params_array": '{"act":"follow","op":"fetch","params":[1,2]}',
    "friends_object": request("follow", "add", {"user_id": 5, "friends": {"a": 1}}),
    "item_list_of_scalars": request("special", "add", {"user_id": 5, "specials": [1, 2]}),
}


def frame_seeds():
    # First byte: seed of the piece sizes the stream arrives in. Then the stream.
    for name, body in REQUESTS.items():
        write("frame_fuzz", name, b"\x07" + frame(body))
    odd = {
        "empty_body": b"\x01" + b"0000000000",
        "pipelined": b"\x02" + frame(REQUESTS["item_add"]) + frame(REQUESTS["fetch_self"])
        + frame(REQUESTS["follow_fetch"]),
        "split_header": b"\xff" + frame(REQUESTS["fetch_pub"]),
        "not_json": b"\x03" + frame("hello") + frame(REQUESTS["follow_fetch"]),
        "json_array": b"\x03" + frame("[1,2,3]"),
        "json_null": b"\x03" + frame("null"),
        "negative_header": b"\x04" + b"-000000001" + b"x",
        "huge_header": b"\x04" + b"9999999999",
        "letters_header": b"\x05" + b"abcdefghij" + frame(REQUESTS["follow_fetch"]),
        "blank_signed_header": b"\x05" + b"  +0000019" + b'{"act":"nothing"}  ',
        "incomplete": b"\x06" + b"0000000100" + b'{"act":',
        "deep_nesting": b"\x06" + frame("[" * 5000),
        "control_op": b"\x06" + frame('{"act":"follow","op":"x\\r\\nDebug:\\tforged","params":{}}'),
    }
    for name, data in odd.items():
        write("frame_fuzz", name, data)


# request_fuzz: the first byte indexes the fuzzer's operation table, the rest is "params".
OPERATIONS = ["follow add", "follow del", "follow fetch", "follow remove", "inviter add",
              "inviter list", "inviter invitees", "inviter nothing", "special add", "special del",
              "special fetch_pub", "special fetch_pri", "special fetch_self", "special fetch",
              "nothing add"]


def request_seeds():
    params = {
        "follow add": {"user_id": 5, "friends": [7, 3, 7, 0, 4294967295]},
        "follow del": {"user_id": 5, "friends": [3]},
        "follow fetch": {"user_id": 4294967295},
        "inviter add": {"user_id": 7, "inviter_id": 3},
        "inviter list": {"user_id": 5},
        "inviter invitees": {"user_id": 0},
        "special add": {"user_id": 5, "specials": [
            {"spid": 10, "type": 256}, {"spid": 11, "type": 1}, {"spid": 10, "type": 0}]},
        "special del": {"user_id": 5, "specials": [{"spid": 10, "type": 0}]},
        "special fetch_pub": {"special_id": -1, "count": 10, "type": 1},
        "special fetch_pri": {"user_id": 7, "special_id": 2147483647, "count": 4294967295,
                              "type": 0},
        "special fetch_self": {"user_id": 5, "special_id": 1.5, "count": True, "type": None},
    }
    for op, value in params.items():
        write("request_fuzz", op.replace("special ", "item_").replace(" ", "_"),
              bytes([OPERATIONS.index(op)]) + json.dumps(value).encode())
    odd = {
        "negative_count": ("special fetch_pub", '{"special_id":0,"count":-1,"type":0}'),
        "string_cursor": ("special fetch_self", '{"user_id":1,"special_id":"1","count":1,"type":0}'),
        "big_cursor": ("special fetch_pri",
                       '{"user_id":1,"special_id":4294967296,"count":1,"type":0}'),
        "params_string": ("follow fetch", '"text"'),
        "params_array": ("special add", "[1]"),
        "params_null": ("inviter list", "null"),
        "friends_nested": ("follow add", '{"user_id":1,"friends":[[1],{"a":2}]}'),
        "item_list_mixed": ("special add", '{"user_id":1,"specials":[{"spid":-1},null,{"type":"x"}]}'),
        "inviter_negative": ("inviter add", '{"user_id":-5,"inviter_id":1}'),
        "real_ids": ("follow fetch", '{"user_id":1e10}'),
    }
    for name, (op, text) in odd.items():
        write("request_fuzz", name, bytes([OPERATIONS.index(op)]) + text.encode())


def config_seeds():
    configs = {
        "complete": '{"DB":{"host":"127.0.0.1","user":"norvel","passwd":"secret",'
                    '"name":"norvel","port":3307}}\n',
        "empty_object": "{}",
        "missing_keys": '{"DB":{"host":"db.local"}}',
        "port_string": '{"DB":{"host":"h","user":"u","passwd":"p","name":"n","port":"3306"}}',
        "numbers_as_text": '{"DB":{"host":1,"user":true,"passwd":2.5,"name":null,"port":3306.9}}',
        "db_array": '{"DB":[1,2]}',
        "top_array": '[{"DB":{}}]',
        "not_json": "host=127.0.0.1\nuser=norvel\n",
        "empty": "",
        "embedded_zero": '{"DB":{"host":"a"}}\x00{"DB":{"host":"b"}}',
        "comments": '// settings\n{"DB":{/* db */"host":"h"}}',
        "extra_members": '{"DB":{"host":"h","extra":[1]},"other":{"x":1}}',
        "big_port": '{"DB":{"port":4294967296}}',
    }
    for name, text in configs.items():
        write("config_fuzz", name, text)


# request_diff_fuzz: whole request bodies. The requests clients send, as they send them (which
# the fast path reads), and near misses of each kind that it must leave to the JSON path.
def request_diff_seeds():
    fetch = '{"act":"special","op":"fetch_pri","params":{"user_id":3,"special_id":-1,"count":20,"type":1}}'
    seeds = dict(REQUESTS)
    seeds.update({
        "fetch_pri_client": fetch,
        "fetch_pri_blanks": ' { "act" : "special" ,\t"op":"fetch_pri",\r\n"params":{ "user_id" : 3 ,'
                            ' "special_id" : 3005 , "count" : 5 , "type" : 0 } }\n ',
        "fetch_pri_no_params": '{"act":"special","op":"fetch_pri"}',
        "fetch_pub_cursor_min": '{"act":"special","op":"fetch_pub","params":{"special_id":-2147483648,"count":3,"type":0}}',
        "params_first": '{"params":{"friends":[4294967295,0,2]},"op":"add","act":"follow"}',
        "items_empty_and_defaults": '{"act":"special","op":"add","params":{"user_id":2,"specials":[{},{"type":300},{"spid":7}]}}',
        "friends_empty": '{"act":"follow","op":"del","params":{"user_id":2,"friends":[]}}',
        "unknown_op_printable": '{"act":"inviter","op":"nothing here","params":{"user_id":2}}',
        # near misses
        "escaped_act": fetch.replace('"special"', '"spec\\u0069al"'),
        "escaped_slash": fetch.replace('"fetch_pri"', '"fetch\\/pri"'),
        "duplicate_key": fetch.replace('"count":20', '"count":20,"count":2'),
        "duplicate_act": '{"act":"follow","act":"special","op":"fetch_pri","params":{"user_id":3}}',
        "fraction": fetch.replace('"count":20', '"count":1.0'),
        "minus_zero": fetch.replace('"special_id":-1', '"special_id":-0'),
        "exponent": fetch.replace('"count":20', '"count":1e3'),
        "leading_zero": fetch.replace('"count":20', '"count":020'),
        "plus_sign": fetch.replace('"count":20', '"count":+20'),
        "huge_number": fetch.replace('"count":20', '"count":4294967296'),
        "huge_cursor": fetch.replace('"special_id":-1', '"special_id":2147483648'),
        "very_huge_number": fetch.replace('"user_id":3', '"user_id":184467440737095516160'),
        "negative_user": fetch.replace('"user_id":3', '"user_id":-3'),
        "unicode_op": fetch.replace('"fetch_pri"', '"fetch_pri\u00e9"').encode().decode(),
        "trailing_text": fetch + "garbage",
        "trailing_document": fetch + fetch,
        "comment": fetch.replace('{"act"', '{/* c */"act"'),
        "null_param": fetch.replace('"type":1', '"type":null'),
        "bool_param": fetch.replace('"type":1', '"type":true'),
        "string_param": fetch.replace('"count":20', '"count":"20"'),
        "extra_member": fetch.replace('"type":1', '"type":1,"extra":1'),
        "extra_top_member": fetch[:-1] + ',"x":1}',
        "params_null": '{"act":"special","op":"fetch_pri","params":null}',
        "truncated": fetch[:-3],
        "control_in_op": '{"act":"follow","op":"x\x01y","params":{"user_id":1}}',
        "item_extra_key": '{"act":"special","op":"add","params":{"user_id":2,"specials":[{"spid":1,"type":0,"x":1}]}}',
        "nul_byte": fetch.replace('"count"', '"co\x00unt"'),
    })
    for name, body in seeds.items():
        write("request_diff_fuzz", name, body)


# metrics_http_fuzz: the first byte picks the read sizes, the rest is one connection's stream.
def metrics_http_seeds():
    get = "GET /metrics HTTP/1.1\r\nHost: norvel\r\n\r\n"
    streams = {
        "get": get,
        "get_query": "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n",
        "head": "HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n",
        "keep_alive_twice": get + get,
        "close": "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n" + get,
        "http10": "GET /metrics HTTP/1.0\r\n\r\n",
        "http10_keep_alive": "GET /metrics HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + get,
        "post": "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "post_body": "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
        "chunked": "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        "chunked_body": "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
        "other_target": "GET / HTTP/1.1\r\n\r\n",
        "bad_version": "GET /metrics HTTP/9.9\r\n\r\n",
        "bare_lf": "GET /metrics HTTP/1.1\nHost: a\n\n",
        "folded_header": "GET /metrics HTTP/1.1\r\nX: a\r\n b\r\n\r\n",
        "long_header": "GET /metrics HTTP/1.1\r\nX: " + "a" * 9000 + "\r\n\r\n",
        "truncated": get[:20],
        "pipelined_mixed": get + "DELETE /metrics HTTP/1.1\r\n\r\n" + "HEAD /metrics HTTP/1.1\r\n\r\n",
    }
    for name, text in streams.items():
        write("metrics_http_fuzz", name, "\x07" + text)


# row_fuzz: lines of columns separated by tabs, "\N" for NULL; the first byte of a line picks
# the table (odd, as "M": member_id, inviter_id; even, as "P": special_id, member_id, reader_type).
def row_seeds():
    members = ["1\t0", "2\t1", "3\t1", "4\t2", "5\t\\N", "6\t-1", "-7\t2", "8\t8",
               "4294967297\t1", "18446744073709551615\t3", "9\t00002", "10\t+3", "11\t3x"]
    specials = ["100\t1\t0", "101\t1\t1", "102\t2\t2", "103\t3\t0", "104\t\\N\t0",
                "105\t-2\t0", "106\t4\t256", "107\t4\t-1", "108\t4\t\\N",
                "2147483648\t2\t0", "4294967296\t3\t1", "99999999999999999999999\t1\t0",
                "109\t1\t2147483648", "110\t1\t 2"]
    rows = ["M" + row for row in members] + ["P" + row for row in specials]
    write("row_fuzz", "tree_and_specials", "\n".join(rows) + "\n")
    write("row_fuzz", "members_only", "\n".join("M" + row for row in members))
    write("row_fuzz", "specials_only", "\n".join("P" + row for row in specials))
    write("row_fuzz", "short_rows", "M1\nP5\nM\t\nP\t\t\n")


if __name__ == "__main__":
    metrics_http_seeds()
    row_seeds()
    frame_seeds()
    request_seeds()
    request_diff_seeds()
    config_seeds()
