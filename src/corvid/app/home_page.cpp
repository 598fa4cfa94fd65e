#include "corvid/app/home_page.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "corvid/app/application_info.hpp"

namespace corvid::app {
namespace {

constexpr std::string_view kTitleMark = "{{TITLE}}";
constexpr std::string_view kKeyMark = "{{EXAMPLE_KEY}}";

// The page: the title goes to <title> and the heading, the example key to the administrator
// line, the key input's preset value and the third quick-use step.
// The console encodes the uid and key into the WebSocket URL, follows the page's scheme
// (wss behind TLS), drops a socket still pending when connect is pressed again, and shows the
// refusal's "detail" when an answer carries no "message".
constexpr std::string_view kTemplate = R"PAGE(<!DOCTYPE html>
<html>
<head>
    <title>{{TITLE}}</title>
    <meta charset="utf-8">
    <style>
        body { font-family: Arial, sans-serif; margin: 40px; background-color: #f5f5f5; }
        .container { max-width: 1200px; margin: 0 auto; background: white; padding: 30px; border-radius: 10px; box-shadow: 0 2px 10px rgba(0,0,0,0.1); }
        h1 { color: #2c3e50; text-align: center; }
        .feature { background: #ecf0f1; padding: 15px; margin: 10px 0; border-radius: 5px; }
        .links { text-align: center; margin: 30px 0; }
        .links a { display: inline-block; margin: 10px; padding: 10px 20px; background: #3498db; color: white; text-decoration: none; border-radius: 5px; }
        .links a:hover { background: #2980b9; }
        .auth-info { background: #f39c12; color: white; padding: 15px; margin: 10px 0; border-radius: 5px; }
        .new-feature { background: #27ae60; color: white; padding: 15px; margin: 10px 0; border-radius: 5px; }
        .ws-container { background: #2c3e50; color: white; padding: 20px; margin: 20px 0; border-radius: 10px; font-family: 'Courier New', monospace; }
        .ws-config { background: #34495e; padding: 15px; margin: 10px 0; border-radius: 5px; }
        .ws-config input { width: 200px; padding: 5px; margin: 5px; border: none; border-radius: 3px; }
        .ws-config button { padding: 8px 15px; margin: 5px; border: none; border-radius: 3px; background: #e74c3c; color: white; cursor: pointer; }
        .ws-config button:hover { background: #c0392b; }
        .ws-config button.connected { background: #27ae60; }
        .ws-config button.connected:hover { background: #229954; }
        .ws-messages { height: 400px; overflow-y: auto; background: #1a252f; padding: 10px; border-radius: 5px; font-size: 12px; line-height: 1.4; }
        .ws-message { margin: 5px 0; padding: 5px; border-left: 3px solid #3498db; background: #2c3e50; border-radius: 3px; }
        .ws-message.error { border-left-color: #e74c3c; }
        .ws-message.success { border-left-color: #27ae60; }
        .ws-message.info { border-left-color: #f39c12; }
        .ws-status { display: inline-block; padding: 5px 10px; border-radius: 3px; margin: 5px; }
        .ws-status.connected { background: #27ae60; }
        .ws-status.disconnected { background: #e74c3c; }
        .ws-status.connecting { background: #f39c12; }
        .clear-btn { background: #95a5a6 !important; }
        .clear-btn:hover { background: #7f8c8d !important; }
        .footer { text-align: center; color: #7f8c8d; margin-top: 30px; }
    </style>
</head>
<body>
    <div class="container">
        <h1>🤖 {{TITLE}}</h1>

        <div class="auth-info">
            <h3>🔐 API密钥认证</h3>
            <p><strong>认证已启用</strong> - 所有接口需要API密钥认证</p>
            <p>请在请求头中添加 <code>Authorization: Bearer your_api_key</code> 或在查询参数中添加 <code>api_key=your_api_key</code></p>
            <p>管理员API密钥: <code>{{EXAMPLE_KEY}}</code></p>
        </div>

        <div class="new-feature">
            <h3>📡 新功能：WebSocket实时消息推送</h3>
            <p>支持通过WebSocket实时接收Parlo消息，覆盖29种消息类型</p>
            <p>连接地址: <code>ws://127.0.0.1:8002/api/ws/connect/{your_uid}?api_key={your_api_key}</code></p>
            <p><strong>注意：</strong>只能连接当前登录的Parlo账号，uid必须是当前登录的ParloID</p>
        </div>

        <div class="ws-container">
            <h3>📱 实时消息显示</h3>
            <div class="ws-config">
                <label>ParloID: </label>
                <input type="text" id="uid" placeholder="输入你的ParloID" value="filehelper">
                <label>API密钥: </label>
                <input type="text" id="apiKey" placeholder="输入API密钥" value="{{EXAMPLE_KEY}}">
                <button id="getUidBtn" onclick="getCurrentUid()">🔍 获取当前uid</button>
                <button id="connectBtn" onclick="toggleConnection()">🔗 连接</button>
                <button class="clear-btn" onclick="clearMessages()">🗑️ 清空消息</button>
                <span id="status" class="ws-status disconnected">未连接</span>
            </div>
            <div id="messages" class="ws-messages">
                <div class="ws-message info">等待连接...</div>
            </div>
        </div>

        <div class="feature">
            <h3>🚀 核心功能</h3>
            <ul>
                <li><strong>38个API端点</strong> - 完整的Parlo自动化功能</li>
                <li><strong>消息发送</strong> - 文本、图片、视频、文件等多种格式</li>
                <li><strong>联系人管理</strong> - 获取、搜索、添加好友</li>
                <li><strong>群组管理</strong> - 创建群、邀请成员、管理群设置</li>
                <li><strong>实时推送</strong> - WebSocket消息推送</li>
                <li><strong>配置管理</strong> - 动态配置Parlo路径和系统设置</li>
            </ul>
        </div>

        <div class="links">
            <a href="/docs">📚 API文档 (Swagger)</a>
            <a href="/redoc">📖 API文档 (ReDoc)</a>
            <a href="/api/config/">⚙️ 当前配置</a>
        </div>

        <div class="feature">
            <h3>📝 快速使用</h3>
            <ol>
                <li>点击上方“API文档”链接</li>
                <li>在文档页面右上角点击“Authorize”按钮</li>
                <li>输入API密钥: <code>{{EXAMPLE_KEY}}</code></li>
                <li>开始测试所有API接口！</li>
            </ol>
        </div>

        <p class="footer">基于 FastAPI 构建 | 支持 WebSocket 实时消息 | API密钥认证</p>
    </div>

    <script>
        let ws = null;
        let isConnected = false;

        function updateStatus(status, className) {
            const badge = document.getElementById('status');
            badge.textContent = status;
            badge.className = 'ws-status ' + className;
        }

        function addMessage(message, type = 'info') {
            const area = document.getElementById('messages');
            const entry = document.createElement('div');
            entry.className = 'ws-message ' + type;
            entry.textContent = new Date().toLocaleTimeString() + ' - ' + message;
            area.appendChild(entry);
            area.scrollTop = area.scrollHeight;
        }

        function clearMessages() {
            const area = document.getElementById('messages');
            area.replaceChildren();
            const entry = document.createElement('div');
            entry.className = 'ws-message info';
            entry.textContent = '消息已清空...';
            area.appendChild(entry);
        }

        function errorText(error) {
            if (error && error.message) return error.message;
            if (error && error.type) return error.type;
            return String(error);
        }

        function setConnectButton(text, className) {
            const button = document.getElementById('connectBtn');
            button.textContent = text;
            button.className = className;
        }

        function describeFrame(raw) {
            let data;
            try {
                data = JSON.parse(raw);
            } catch (e) {
                return '收到消息: ' + raw;
            }
            if (data && data.type === 'connection_established') {
                return '连接建立成功';
            }
            if (data && data.type === 'message_received') {
                const msgData = data.data || {};
                let text = `收到消息: ${msgData.msg || '未知消息类型'}`;
                if (msgData.from_uid !== undefined && msgData.from_uid !== null) {
                    text += ` (来自: ${msgData.from_uid})`;
                }
                return text;
            }
            return `系统消息: ${JSON.stringify(data)}`;
        }

        function forget(socket) {
            // A socket that is being replaced must not drive the badge or the button any more.
            socket.onopen = null;
            socket.onmessage = null;
            socket.onerror = null;
            socket.onclose = null;
            socket.close();
        }

        function connect() {
            const uid = document.getElementById('uid').value.trim();
            const apiKey = document.getElementById('apiKey').value.trim();
            if (!uid) {
                addMessage('请输入ParloID', 'error');
                return;
            }
            if (ws) {
                forget(ws);
                ws = null;
            }
            const scheme = window.location.protocol === 'https:' ? 'wss' : 'ws';
            const url = `${scheme}://${window.location.host}/api/ws/connect/${encodeURIComponent(uid)}?api_key=${encodeURIComponent(apiKey)}`;
            try {
                const socket = new WebSocket(url);
                ws = socket;
                updateStatus('连接中...', 'connecting');
                socket.onopen = function () {
                    isConnected = true;
                    updateStatus('已连接', 'connected');
                    setConnectButton('🔌 断开', 'connected');
                    addMessage('WebSocket连接成功', 'success');
                };
                socket.onmessage = function (event) {
                    addMessage(describeFrame(event.data), 'info');
                };
                socket.onclose = function () {
                    isConnected = false;
                    if (ws === socket) ws = null;
                    updateStatus('已断开', 'disconnected');
                    setConnectButton('🔗 连接', '');
                    addMessage('WebSocket连接已断开', 'error');
                };
                socket.onerror = function (error) {
                    addMessage('连接错误: ' + errorText(error), 'error');
                    updateStatus('连接失败', 'disconnected');
                };
            } catch (err) {
                addMessage('创建WebSocket连接失败: ' + errorText(err), 'error');
            }
        }

        function disconnect() {
            if (ws) {
                ws.close();
                ws = null;
            }
        }

        function toggleConnection() {
            if (isConnected) {
                disconnect();
            } else {
                connect();
            }
        }

        async function getCurrentUid() {
            const apiKey = document.getElementById('apiKey').value.trim();
            if (!apiKey) {
                addMessage('请输入API密钥', 'error');
                return;
            }
            try {
                const response = await fetch('/api/parlo/current_uid', {
                    headers: { 'Authorization': 'Bearer ' + apiKey }
                });
                const data = await response.json();
                if (data && data.success && data.data && data.data.uid) {
                    document.getElementById('uid').value = data.data.uid;
                    addMessage(`获取到当前ParloID: ${data.data.uid}`, 'success');
                } else {
                    let reason = data ? data.message : undefined;
                    if (reason === undefined && data && data.detail !== undefined) {
                        reason = typeof data.detail === 'string' ? data.detail : JSON.stringify(data.detail);
                    }
                    addMessage(`获取ParloID失败: ${reason}`, 'error');
                }
            } catch (err) {
                addMessage('获取ParloID失败: ' + errorText(err), 'error');
            }
        }

        window.addEventListener('load', function () {
            addMessage('页面加载完成，可以开始连接WebSocket', 'info');
        });
    </script>
</body>
</html>
)PAGE";

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// One pass over the template, so an inserted value is never scanned for marks itself.
std::string fill(std::string_view tmpl, const std::string& title, const std::string& key) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t at = 0;
  while (at < tmpl.size()) {
    const auto next_title = tmpl.find(kTitleMark, at);
    const auto next_key = tmpl.find(kKeyMark, at);
    const auto next = std::min(next_title, next_key);
    if (next == std::string_view::npos) {
      out.append(tmpl.substr(at));
      break;
    }
    out.append(tmpl.substr(at, next - at));
    const bool is_title = next == next_title;
    out.append(is_title ? title : key);
    at = next + (is_title ? kTitleMark.size() : kKeyMark.size());
  }
  return out;
}

}  // namespace

std::string render_home_page(std::string_view title, std::string_view example_key) {
  return fill(kTemplate, html_escape(title), html_escape(example_key));
}

const std::string& home_page() {
  static const std::string page = render_home_page(kAppTitle, kExampleKey);
  return page;
}

Json health_answer() {
  return Json{{"status", "healthy"}, {"message", "Parlo机器人API服务运行正常，支持WebSocket消息推送"}};
}

}  // namespace corvid::app
