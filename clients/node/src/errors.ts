/**
 * The one error type of this library. Every rejected call and every
 * 'error' event carries an OstrovaneError.
 *
 * `reason` is a short word: the helper's own reason when it gave one
 * (`already_active`, `no_capture`, `invalid_width`, `targetNotFound`, ...),
 * or one of the library's: `timeout`, `exited`, `not_found`, `cancelled`,
 * `unknown_command`, `screenshot_failed`, `closed`, `spawn_failed`,
 * `bad_answer`, `too_long`, `error`/`failed` (a helper text that is no word).
 */
export class OstrovaneError extends Error {
  /** Short reason word. */
  readonly reason: string;
  /** The helper's text (the answer's payload, a log line, or the stderr tail). */
  readonly text: string;
  /** The command line that was sent, when the error belongs to a call. */
  readonly command: string | undefined;

  constructor(reason: string, text: string, command?: string) {
    super(command ? `${command}: ${reason}${text && text !== reason ? ` (${text})` : ''}` : `${reason}${text && text !== reason ? `: ${text}` : ''}`);
    this.name = 'OstrovaneError';
    this.reason = reason;
    this.text = text;
    this.command = command;
  }
}

/**
 * Turns an answer's failure text into a reason word: the text itself when it
 * is one word, the word before a parenthesis (`targetNotFound("...")`), or
 * `fallback` for free text such as a service's error description.
 */
export function reasonOf(text: string, fallback: string): string {
  if (/^[A-Za-z][A-Za-z0-9_]*$/.test(text)) return text;
  const m = /^([A-Za-z][A-Za-z0-9_]*)\(/.exec(text);
  return m ? m[1] : fallback;
}
