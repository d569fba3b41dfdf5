"""Chat client demo against a local stand-in for the kit's web API and an
OpenAI-compatible chat service, both served on 127.0.0.1.

Shows a streamed answer piece by piece, a plain answer and the model list.

Run: python examples/chat_demo.py
"""

import json
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from velk_dev_kit import Chat, ChatError

ANSWER = ["机器人", "已经", "准备", "就绪", "，", "请", "下达", "指令", "。",
          " Ready", " when", " you", " are", "."]
MODELS = ["qwen-turbo", "qwen-plus", "qwen-max"]


class Service(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_json(self, obj, status=200):
        body = json.dumps(obj, ensure_ascii=False).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/v1/api/app/config"):
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            self.send_json({"data": {"llm_chat_url": base + "/v1/chat/completions",
                                     "llm_models_url": base + "/v1/models"}})
        elif self.path == "/v1/models":
            self.send_json({"object": "list", "data": [{"id": m, "object": "model"} for m in MODELS]})
        else:
            self.send_json({"error": {"message": "not found"}}, 404)

    def do_POST(self):
        request = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        if request["model"] not in MODELS:
            return self.send_json({"error": {"message": f"model {request['model']} does not exist",
                                             "code": "model_not_found"}}, 404)
        if not request["stream"]:
            question = request["messages"][-1]["content"]
            return self.send_json({"choices": [{"index": 0, "message": {
                "role": "assistant", "content": f"[{request['model']}] 收到：{question}"}}]})
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for piece in ANSWER:
            chunk = {"choices": [{"index": 0, "delta": {"content": piece}}]}
            self.write_chunk(b"data: " + json.dumps(chunk, ensure_ascii=False).encode() + b"\n\n")
            time.sleep(0.08)
        self.write_chunk(b"data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")

    def write_chunk(self, data):
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # the client hangs up right after the end marker of a streamed answer


def main():
    server = Server(("127.0.0.1", 0), Service)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    os.environ["VELK_API_BASE"] = "http://127.0.0.1:%d" % server.server_address[1]
    try:
        chat = Chat(system_prompt="你是一个机器人助手。")
        hello = [{"role": "user", "content": "你好"}]

        print("streamed answer: ", end="", flush=True)
        for piece in chat.chat(hello, stream=True):
            print(piece, end="", flush=True)
        print()

        print("plain answer:    ", chat.chat(hello, model="qwen-max"))
        print("models:          ", ", ".join(chat.models()))
        try:
            chat.chat(hello, model="no-such-model")
        except ChatError as e:
            print(f"error:            {e} (code {e.code}, HTTP {e.status_code})")
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main()
