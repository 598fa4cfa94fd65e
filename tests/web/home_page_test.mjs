// Drives the home page of a real corvid in headless Chromium.
//
//   node home_page_test.mjs --corvid <path to the corvid binary> --out <folder for the screenshot>
//
// Starts corvid on a free loopback port with a temporary configuration (one random key) and the
// simulated client's control socket, then checks in the browser: the page loads without any
// request leaving the server's origin, the example key shown on the page is refused,
// "获取当前uid" fills the account id from the API with the configured key, the console connects
// and shows the welcome frame and an event relayed from the client. Steps whose server routes
// are not there are reported as skipped. Exit code 0 = every step that ran passed.
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const { chromium } = await import(path.join(here, 'node_modules', 'playwright-core', 'index.mjs'));

const kChromium = '/usr/bin/chromium';
const kStepTimeoutMs = 20000;

function option(name) {
  const at = process.argv.indexOf(name);
  if (at < 0 || at + 1 >= process.argv.length) throw new Error(`missing option ${name}`);
  return process.argv[at + 1];
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function until(what, probe, timeoutMs = kStepTimeoutMs) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await probe();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${last})`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

function simCommand(socketPath, command) {
  return new Promise((resolve, reject) => {
    const conn = net.createConnection(socketPath);
    let buffer = '';
    conn.setEncoding('utf8');
    conn.on('connect', () => conn.write(JSON.stringify(command) + '\n'));
    conn.on('data', (chunk) => {
      buffer += chunk;
      const end = buffer.indexOf('\n');
      if (end >= 0) {
        conn.end();
        const answer = JSON.parse(buffer.slice(0, end));
        if (answer.ok) resolve(answer);
        else reject(new Error(`simulated client refused ${command.cmd}: ${answer.error}`));
      }
    });
    conn.on('error', reject);
  });
}

const results = { passed: 0, failed: 0, skipped: 0 };
async function step(name, body) {
  try {
    const outcome = await body();
    if (outcome && outcome.skip) {
      results.skipped++;
      console.log(`SKIP ${name}: ${outcome.skip}`);
    } else {
      results.passed++;
      console.log(`PASS ${name}`);
    }
    return outcome;
  } catch (err) {
    results.failed++;
    console.log(`FAIL ${name}: ${err && err.stack ? err.stack : err}`);
    return { failed: true };
  }
}

function check(condition, message) {
  if (!condition) throw new Error(message);
}

const corvidPath = path.resolve(option('--corvid'));
const outDir = path.resolve(option('--out'));
fs.mkdirSync(outDir, { recursive: true });

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'corvid-web-'));
const port = await freePort();
const key = crypto.randomBytes(18).toString('base64url');
const controlSocket = path.join(work, 'sim.sock');
const origin = `http://127.0.0.1:${port}`;
fs.writeFileSync(path.join(work, 'config.json'), JSON.stringify({
  server: { host: '127.0.0.1', port, debug: false },
  parlo: { exe_path: '', version: '' },
  auth: { api_keys: { web_test: key } },
}, null, 2));

let serverLog = '';
const server = spawn(corvidPath, ['--config', path.join(work, 'config.json')], {
  cwd: work,
  env: { ...process.env, TAPWIRE_SIM_CONTROL: controlSocket },
  stdio: ['ignore', 'pipe', 'pipe'],
});
server.stdout.on('data', (d) => { serverLog += d; });
server.stderr.on('data', (d) => { serverLog += d; });
const serverExit = new Promise((resolve) => {
  server.on('exit', (code, signal) => resolve({ code, signal }));
  server.on('error', (err) => { serverLog += `cannot start ${corvidPath}: ${err.message}\n`; resolve({ code: -1, signal: null }); });
});

async function api(method, route, withKey = true) {
  const headers = withKey ? { Authorization: `Bearer ${key}` } : {};
  const response = await fetch(origin + route, { method, headers });
  const text = await response.text();
  let body = null;
  try { body = JSON.parse(text); } catch { /* not JSON */ }
  return { status: response.status, body, text };
}

let context;
const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvid-chromium-'));
const outsideRequests = [];
try {
  await until('the server to answer /health', async () => (await api('GET', '/health', false)).status === 200);

  // The account id is only there once the simulated client runs and has logged in.
  const opened = await api('POST', '/api/parlo/open');
  const clientRoutes = opened.status !== 404;
  if (clientRoutes) {
    await until('the simulated client to log in', async () => {
      const answer = await api('GET', '/api/parlo/current_uid');
      return answer.body && answer.body.success && answer.body.data && answer.body.data.uid;
    });
  }

  context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: kChromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  // Anything not addressed to the server itself is recorded and never sent.
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith(origin + '/')) return route.continue();
    outsideRequests.push(url);
    return route.abort();
  });
  const page = context.pages()[0] || (await context.newPage());
  page.on('websocket', (socket) => {
    if (!socket.url().startsWith(`ws://127.0.0.1:${port}/`)) outsideRequests.push(socket.url());
  });
  const entries = () => page.$$eval('#messages .ws-message', (nodes) => nodes.map((n) => ({
    text: n.textContent, cls: n.className,
  })));
  const waitEntry = (what, predicate) => until(what, async () => (await entries()).find(predicate));

  await step('page loads from the server alone', async () => {
    const response = await page.goto(origin + '/', { waitUntil: 'load' });
    check(response.status() === 200, `status ${response.status()}`);
    check((await page.title()) === 'CorvidParlo机器人API', `title ${await page.title()}`);
    check((await page.textContent('h1')).trim() === '🤖 CorvidParlo机器人API', 'heading');
    await waitEntry('the load entry', (e) => e.text.endsWith(' - 页面加载完成，可以开始连接WebSocket'));
    check((await page.inputValue('#uid')) === 'filehelper', 'uid preset');
    check((await page.inputValue('#apiKey')) === 'hvtrno', 'key preset');
    check((await page.textContent('#status')) === '未连接', 'badge');
    check(outsideRequests.length === 0, `requests outside the server: ${outsideRequests.join(', ')}`);
  });

  await step('an empty key sends nothing', async () => {
    let asked = false;
    const listener = (request) => { if (request.url().includes('/api/parlo/current_uid')) asked = true; };
    page.on('request', listener);
    await page.fill('#apiKey', '   ');
    await page.click('#getUidBtn');
    await waitEntry('the missing key entry', (e) => e.text.endsWith(' - 请输入API密钥') && e.cls.includes('error'));
    page.off('request', listener);
    check(!asked, 'the page asked the server without a key');
  });

  await step('the example key shown on the page is refused', async () => {
    if (!clientRoutes) return { skip: 'the /api/parlo routes are not served by this build' };
    await page.fill('#apiKey', 'hvtrno');
    await page.click('#getUidBtn');
    const entry = await waitEntry('the refusal entry', (e) => e.text.includes('获取ParloID失败: '));
    check(entry.text.endsWith('获取ParloID失败: 无效的API密钥'), `entry ${entry.text}`);
    check((await page.inputValue('#uid')) === 'filehelper', 'uid changed on a refusal');
    return {};
  });

  const uidStep = await step('"获取当前uid" fills the account id', async () => {
    if (!clientRoutes) return { skip: 'the /api/parlo routes are not served by this build' };
    await page.fill('#apiKey', key);
    await page.click('#getUidBtn');
    await waitEntry('the success entry', (e) => e.text.endsWith(' - 获取到当前ParloID: uid_standin'));
    check((await page.inputValue('#uid')) === 'uid_standin', 'uid input');
    return {};
  });

  await step('an empty account id opens nothing', async () => {
    const saved = await page.inputValue('#uid');
    await page.fill('#uid', '');
    await page.click('#connectBtn');
    await waitEntry('the missing uid entry', (e) => e.text.endsWith(' - 请输入ParloID'));
    check((await page.textContent('#status')) === '未连接', 'badge moved');
    await page.fill('#uid', saved);
  });

  const wsProbe = await fetch(`${origin}/api/ws/stats`, { headers: { Authorization: `Bearer ${key}` } });
  const wsRoutes = wsProbe.status !== 404;
  await step('the console connects and shows the welcome and a relayed event', async () => {
    if (!clientRoutes || uidStep.skip || uidStep.failed) return { skip: 'no logged-in account to connect to' };
    if (!wsRoutes) return { skip: 'the /api/ws routes are not served by this build' };
    await page.click('#connectBtn');
    await until('the badge to show 已连接', async () => (await page.textContent('#status')) === '已连接');
    await waitEntry('the welcome entry', (e) => e.text.endsWith(' - 连接建立成功'));
    check((await page.textContent('#connectBtn')) === '🔌 断开', 'button text');
    const marker = `web-test-${crypto.randomBytes(4).toString('hex')}`;
    await simCommand(controlSocket, {
      cmd: 'inject',
      message: { type: 11046, data: { from_uid: 'uid_alice', msg: marker } },
      count: 1,
      interval_ms: 0,
    });
    const relayed = await waitEntry('the relayed event', (e) => e.text.includes(marker));
    check(relayed.text.includes(' - 系统消息: {'), `entry ${relayed.text}`);
    await page.screenshot({ path: path.join(outDir, 'home_page_connected.png'), fullPage: true });
    await page.click('#connectBtn');
    await until('the badge to show 已断开', async () => (await page.textContent('#status')) === '已断开');
    await waitEntry('the closed entry', (e) => e.text.endsWith(' - WebSocket连接已断开'));
    return {};
  });

  await step('screenshot written', async () => {
    const file = path.join(outDir, 'home_page.png');
    await page.screenshot({ path: file, fullPage: true });
    check(fs.statSync(file).size > 0, 'empty screenshot');
    console.log(`screenshot: ${file}`);
  });

  await step('nothing left the server origin', async () => {
    check(outsideRequests.length === 0, `requests outside the server: ${outsideRequests.join(', ')}`);
  });
} catch (err) {
  results.failed++;
  console.log(`FAIL setup: ${err && err.stack ? err.stack : err}`);
} finally {
  if (context) await context.close().catch(() => {});
  fs.rmSync(userDataDir, { recursive: true, force: true });
  if (server.exitCode === null) server.kill('SIGTERM');
  const exit = await Promise.race([serverExit, new Promise((r) => setTimeout(() => r(null), 15000))]);
  if (!exit) {
    server.kill('SIGKILL');
    results.failed++;
    console.log('FAIL the server did not stop within 15 s of SIGTERM');
  } else if (exit.code !== 0) {
    results.failed++;
    console.log(`FAIL the server ended with ${JSON.stringify(exit)}`);
  }
  if (results.failed) console.log(`--- server output ---\n${serverLog}`);
  fs.rmSync(work, { recursive: true, force: true });
}

console.log(`${results.passed} passed, ${results.failed} failed, ${results.skipped} skipped`);
process.exit(results.failed ? 1 : 0);
