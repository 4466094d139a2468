import { ChildProcess, execFileSync, spawn } from 'child_process';
import * as fs from 'fs';
import * as os from 'os';
import * as path from 'path';
import { sleep } from './fixtures';

/**
 * A private PulseAudio (a 440 Hz sine as microphone, a 1000 Hz sine on the
 * default output) and a private Xvfb display of 1280 x 720, for the helper only.
 */
export class Rig {
  readonly dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrovane-rig-'));
  display = '';
  private procs: ChildProcess[] = [];

  /** The variables the helper needs to use this rig. */
  get env(): Record<string, string> {
    return { XDG_RUNTIME_DIR: this.dir, PULSE_SERVER: `unix:${this.dir}/pulse/native`, DISPLAY: this.display };
  }

  private pulseEnv(): NodeJS.ProcessEnv {
    return { ...process.env, XDG_RUNTIME_DIR: this.dir, PULSE_SERVER: `unix:${this.dir}/pulse/native` };
  }

  private run(cmd: string, args: string[], env: NodeJS.ProcessEnv): ChildProcess {
    const p = spawn('nice', ['-n', '10', cmd, ...args], { env, stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    p.stderr?.on('data', (c: Buffer) => (err = (err + c.toString()).slice(-2000)));
    p.on('error', () => {});
    (p as ChildProcess & { errText: () => string }).errText = () => err;
    this.procs.push(p);
    return p;
  }

  async start(): Promise<void> {
    const pulse = this.run(
      'pulseaudio',
      ['-n', '--daemonize=no', '--exit-idle-time=-1', '--disable-shm=yes', '-L', 'module-native-protocol-unix',
        '-L', 'module-null-sink sink_name=out', '-L', 'module-null-sink sink_name=mic_feed',
        '-L', 'module-sine sink=out frequency=1000', '-L', 'module-sine sink=mic_feed frequency=440',
        '-L', 'module-remap-source master=mic_feed.monitor source_name=mic'],
      this.pulseEnv(),
    );
    const pactl = (...args: string[]) => execFileSync('pactl', args, { env: this.pulseEnv(), stdio: 'pipe', timeout: 5000 });
    await this.waitFor('PulseAudio', pulse, () => {
      try {
        pactl('info');
        return true;
      } catch {
        return false;
      }
    });
    pactl('set-default-sink', 'out');
    pactl('set-default-source', 'mic');

    let n = 90;
    while (fs.existsSync(`/tmp/.X11-unix/X${n}`) || fs.existsSync(`/tmp/.X${n}-lock`)) n++;
    this.display = `:${n}`;
    const xvfb = this.run('Xvfb', [this.display, '-screen', '0', '1280x720x24', '-nolisten', 'tcp'], process.env);
    await this.waitFor('Xvfb', xvfb, () => fs.existsSync(`/tmp/.X11-unix/X${n}`));
  }

  private async waitFor(name: string, p: ChildProcess, ready: () => boolean): Promise<void> {
    for (let i = 0; i < 100; i++) {
      if (p.exitCode !== null || p.signalCode !== null) break;
      if (ready()) return;
      await sleep(100);
    }
    const err = (p as ChildProcess & { errText?: () => string }).errText?.() ?? '';
    throw new Error(`${name} did not start: ${err.trim().slice(-500)}`);
  }

  async stop(): Promise<void> {
    for (const p of this.procs.reverse()) {
      if (p.exitCode === null && p.signalCode === null) {
        p.kill('SIGTERM');
        await Promise.race([new Promise((r) => p.once('exit', r)), sleep(2000)]);
        if (p.exitCode === null && p.signalCode === null) p.kill('SIGKILL');
      }
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}
