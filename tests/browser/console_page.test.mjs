// The simulator's console page in a real browser (Debian's chromium, driven
// by playwright-core) against a real lattice-sim and a real halyard, both
// started with no configuration: the simulator's default settings alone
// must give a normal log and a working console.
//
// The lines halyard logs after a page opened come from real paths: the host
// client going down and up again (`ctl host down|up`) makes halyard's host
// worker log its shutdown and its initialisation.
//
// Environment: LATTICE_SIM_PATH and HALYARD_PATH (set by ctest),
// CHROMIUM_PATH (default /usr/bin/chromium), CONSOLE_SCREENSHOT (where the
// picture of a page goes; default in the test's own directory). Exit status
// 77 (a skip for ctest) only when the browser cannot start.
import assert from 'node:assert/strict';
import {execFileSync, spawn, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {test} from 'node:test';

import {chromium} from 'playwright-core';

const simPath = requiredEnv('LATTICE_SIM_PATH');
const halyardPath = requiredEnv('HALYARD_PATH');
const chromiumPath = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const timeoutMs = 30000;
// Without the networking flags this machine's closed network refuses the
// browser's own connections and start-up stalls on them.
const chromiumArgs = [
  '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
];

function requiredEnv(name) {
  const value = process.env[name];
  if (!value) {
    console.error(`${name} must name the program to test`);
    process.exit(2);
  }
  return value;
}

// --- the browser, or the reason there is none -------------------------------------

let browserServer;
try {
  if (!fs.existsSync(chromiumPath)) {
    throw new Error(`no browser at ${chromiumPath}`);
  }
  browserServer = await chromium.launchServer({
    executablePath: chromiumPath,
    headless: true,
    chromiumSandbox: false,
    args: chromiumArgs,
    timeout: 60000,
  });
} catch (error) {
  console.log(`SKIP: the browser cannot start: ${error.message.split('\n')[0]}`);
  process.exit(77);
}

// --- a private directory, the simulator and halyard -----------------------------

const workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'halyard-console-page-'));
const socketPath = path.join(workDir, 'sim.sock');
const logPath = path.join(workDir, 'logs', 'halyard.txt');
const screenshotPath = process.env.CONSOLE_SCREENSHOT || path.join(workDir, 'console.png');

function prepareHome() {
  fs.mkdirSync(path.join(workDir, 'home', '.config', 'lattice'), {recursive: true});
  fs.mkdirSync(path.join(workDir, 'runtime', 'bin'), {recursive: true});
  fs.mkdirSync(path.join(workDir, 'tmp'), {recursive: true});
  fs.writeFileSync(path.join(workDir, 'runtime', 'bin', 'version.txt'), '4711\n');
  fs.writeFileSync(path.join(workDir, 'home', '.config', 'lattice', 'latticepaths.vrpath'),
                   JSON.stringify({
                     runtime: [path.join(workDir, 'runtime')],
                     config: [path.join(workDir, 'config')],
                     log: [path.join(workDir, 'logs')],
                   }));
}

function ctl(...args) {
  return execFileSync(simPath, ['ctl', '--socket', socketPath, ...args], {encoding: 'utf8'});
}

function journal() {
  return ctl('journal').split('\n').filter(Boolean).map((line) => JSON.parse(line));
}

function lastSeq() {
  const entries = journal();
  return entries.length ? entries[entries.length - 1].seq : 0;
}

async function waitFor(what, condition, ms = timeoutMs) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${what}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// Console-closed events (421) that halyard has taken from the queue since seq.
function closedConsolesSince(seq) {
  return journal()
      .filter((e) => e.seq > seq && e.call === 'IVRSystem_023::TakeNextEvent')
      .flatMap((e) => e.result.events)
      .filter((type) => type === 421).length;
}

function shownLinesSince(seq, needle) {
  return journal().filter((e) => e.seq > seq && e.call === 'IVRControlPanel_006::ShowConsoleLine' &&
                                 e.args.text.includes(needle));
}

function startSimulator() {
  const sim = spawn(simPath, ['serve', '--socket', socketPath, '--http', '0'],
                    {stdio: ['ignore', 'pipe', 'inherit']});
  return new Promise((resolve, reject) => {
    let output = '';
    sim.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /console page on (http:\/\/127\.0\.0\.1:\d+\/)/.exec(output);
      if (match) {
        resolve({sim, url: match[1]});
      }
    });
    sim.on('exit', (code) => reject(new Error(`lattice-sim ended with ${code}: ${output}`)));
  });
}

// halyard holds a machine-wide single-instance lock: in a private IPC
// namespace it never meets another test run's halyard. Without the right to
// make one, the machine's namespace is used.
const privateIpc = spawnSync('unshare', ['--ipc', 'true']).status === 0;

function startHalyard(name) {
  const env = {...process.env};
  for (const variable of ['VR_PATHREG_OVERRIDE', 'VR_OVERRIDE', 'VR_CONFIG_PATH', 'VR_LOG_PATH',
                          'TMP', 'ORRERY_DISABLE_CRASH_REPORTING']) {
    delete env[variable];
  }
  Object.assign(env, {
    HOME: path.join(workDir, 'home'),
    XDG_CONFIG_HOME: path.join(workDir, 'home', '.config'),
    TEMP: path.join(workDir, 'tmp'),
    LATTICE_SIM_SOCKET: socketPath,
    QUILL_DUMP_DIR: path.join(workDir, 'dumps'),
  });
  const out = fs.openSync(path.join(workDir, `${name}.out`), 'w');
  const command = privateIpc ? ['unshare', '--ipc', halyardPath] : [halyardPath];
  const halyard = spawn(command[0], command.slice(1), {env, stdio: ['ignore', out, out]});
  halyard.exited = new Promise((resolve) => halyard.on('exit', (code) => resolve(code)));
  return halyard;
}

async function exitStatus(halyard) {
  let timer;
  const late = new Promise((resolve) => {
    timer = setTimeout(() => resolve('still running'), timeoutMs);
  });
  const status = await Promise.race([halyard.exited, late]);
  clearTimeout(timer);
  return status;
}

// --- what a page shows --------------------------------------------------------

async function openPage(context, url) {
  const page = await context.newPage();
  await page.setViewportSize({width: 1000, height: 230});
  await page.goto(url);
  await page.waitForSelector('#console[data-console]', {timeout: timeoutMs});
  page.consoleId = Number(await page.getAttribute('#console', 'data-console'));
  return page;
}

function rows(page) {
  return page.$$eval('#lines tbody tr', (trs) => trs.map((tr) => ({
                                              kind: tr.className,
                                              time: tr.cells[0].textContent,
                                              level: tr.cells[1].textContent,
                                              log: tr.cells[2].textContent,
                                              text: tr.cells[3].textContent,
                                            })));
}

async function waitForRows(page, needle, count) {
  await page.waitForFunction(([n, c]) => [...document.querySelectorAll('#lines td.text')]
                                             .filter((td) => td.textContent.includes(n))
                                             .length >= c,
                             [needle, count], {timeout: timeoutMs});
}

async function countRows(page, needle) {
  return indexesOf(await rows(page), needle).length;
}

function indexesOf(shown, needle) {
  return shown.flatMap((row, i) => (row.text.includes(needle) ? [i] : []));
}

const startUp = ') starting up';
const hostDown = '[Quill] Quill SHUTDOWN.';
const hostUp = '[Quill] Quill INIT.';

// --- the scenario ---------------------------------------------------------------

// The steps build on each other: the first that fails ends the scenario.
async function step(name, body) {
  try {
    await body();
  } catch (error) {
    error.message = `${name}: ${error.message}`;
    throw error;
  }
  console.log(`# ok: ${name}`);
}

test('console pages show halyard\'s history and live lines', async () => {
  prepareHome();
  const {sim, url} = await startSimulator();
  const browser = await chromium.connect(browserServer.wsEndpoint());
  const running = [];
  let finished = false;
  try {
    const context = await browser.newContext();
    const first = await openPage(context, url);

    await step('a page opened before halyard runs shows its history', async () => {
      running.push(startHalyard('halyard-1'));
      await waitForRows(first, startUp, 1);
      const [row] = (await rows(first)).filter((r) => r.text.includes(startUp));
      assert.equal(row.kind, 'history');
      assert.equal(row.level, 'Info');
      assert.equal(row.log, 'halyard');
      assert.match(row.time, /^\d+\.\d{3}$/);
      assert.match(row.text, /^halyard \(v\S+ \(4711\)\) starting up$/);
      assert.ok(shownLinesSince(0, startUp).some((e) => e.args.handle === first.consoleId));
    });

    await step('a line logged after the page opened follows as a live line', async () => {
      ctl('host', 'down');
      await waitForRows(first, hostDown, 1);
      const shown = await rows(first);
      const [live] = indexesOf(shown, hostDown);
      assert.equal(shown[live].kind, 'live');
      // The live line is the whole line of the log file: time stamp and level included.
      assert.match(shown[live].text, /\[Info\] - \[Quill\] Quill SHUTDOWN\.$/);
      assert.ok(indexesOf(shown, startUp)[0] < live);
    });

    const second = await openPage(context, url);
    await step('a second page gets a history of its own', async () => {
      assert.notEqual(second.consoleId, first.consoleId);
      await waitForRows(second, hostDown, 1);
      const shown = await rows(second);
      for (const needle of [startUp, hostDown]) {
        const at = indexesOf(shown, needle);
        assert.equal(at.length, 1, needle);
        assert.equal(shown[at[0]].kind, 'history', needle);
      }
      // The next live line reaches both; the first page saw no second replay.
      ctl('host', 'up');
      await waitForRows(second, hostUp, 1);
      await waitForRows(first, hostUp, 2);
      const firstShown = await rows(first);
      assert.equal(indexesOf(firstShown, startUp).length, 1);
      assert.deepEqual(indexesOf(firstShown, hostUp).map((i) => firstShown[i].kind),
                       ['history', 'live']);
      await second.screenshot({path: screenshotPath});
    });

    await step('an open page is announced to a halyard that starts later', async () => {
      ctl('quit');
      assert.equal(await exitStatus(running[0]), 0);
      const hostUps = await countRows(second, hostUp);
      // Log lines are untrusted: this version text is markup, shown as text.
      const markup = '4712<b/id=markup>';
      fs.writeFileSync(path.join(workDir, 'runtime', 'bin', 'version.txt'), markup);
      running.push(startHalyard('halyard-2'));
      await waitForRows(first, startUp, 2);
      await waitForRows(second, startUp, 2);
      const shown = await rows(first);
      assert.ok(shown[indexesOf(shown, startUp)[1]].text.includes(`(${markup})`));
      assert.equal(await first.$('#markup'), null);
      // The new history ends with the new host worker's start.
      await waitForRows(second, hostUp, hostUps + 1);
    });

    await step('closing one page keeps the other one fed', async () => {
      const seq = lastSeq();
      await first.close();
      await waitFor('the first console-closed event', () => closedConsolesSince(seq) === 1);
      const hostDowns = await countRows(second, hostDown);
      ctl('host', 'down');
      await waitForRows(second, hostDown, hostDowns + 1);
      assert.ok(shownLinesSince(seq, hostDown).some((e) => e.args.handle === 0));
    });

    await step('a browser that dies closes its console and forwarding stops', async () => {
      const seq = lastSeq();
      browserServer.process().kill('SIGKILL');
      await waitFor('the last console-closed event', () => closedConsolesSince(seq) === 1);
      const logged = (fs.readFileSync(logPath, 'utf8').match(/Quill INIT\./g) || []).length;
      ctl('host', 'up');
      await waitFor('halyard to log the host client coming back',
                    () => (fs.readFileSync(logPath, 'utf8').match(/Quill INIT\./g) || []).length >
                          logged);
      assert.deepEqual(shownLinesSince(seq, ''), []);
      ctl('quit');
      assert.equal(await exitStatus(running[1]), 0);
    });
    finished = true;
  } finally {
    for (const halyard of running) {
      halyard.kill('SIGKILL');
    }
    await browser.close().catch(() => {});
    await browserServer.close().catch(() => {});
    spawnSync(simPath, ['ctl', '--socket', socketPath, 'shutdown']);
    sim.kill('SIGKILL');
    if (finished) {
      fs.rmSync(workDir, {recursive: true, force: true});
    } else {
      console.log(`kept for a look: ${workDir}`);
    }
  }
});
