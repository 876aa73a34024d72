'use strict';
// XML property lists, as usbmuxd clients and lockdown clients write them: enough of
// the format for dictionaries, arrays, strings, integers, booleans and data.

const entities = { amp: '&', lt: '<', gt: '>', quot: '"', apos: "'" };

function decodeText(text) {
  return text.replace(/&(amp|lt|gt|quot|apos|#x?[0-9a-fA-F]+);/g, (_, name) => {
    if (name[0] !== '#') return entities[name];
    return String.fromCodePoint(name[1] === 'x' ? parseInt(name.slice(2), 16) : parseInt(name.slice(1), 10));
  });
}

function encodeText(text) {
  return text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function parse(xml) {
  const tokens = [];
  const pattern = /<(\/?)([A-Za-z]+)[^>]*?(\/?)>|([^<]+)/g;
  let match;
  const body = xml.replace(/<\?xml[^>]*\?>/, '').replace(/<!DOCTYPE[^>]*>/, '');
  while ((match = pattern.exec(body)) !== null) {
    if (match[4] !== undefined) {
      tokens.push({ text: match[4] });
    } else {
      tokens.push({ closing: match[1] === '/', name: match[2], empty: match[3] === '/' });
    }
  }
  let index = 0;
  const next = () => tokens[index++];
  const skipBlank = () => {
    while (index < tokens.length && tokens[index].text !== undefined && tokens[index].text.trim() === '') index++;
  };
  const textUntilClose = (name) => {
    let text = '';
    for (;;) {
      const token = next();
      if (!token) throw new Error(`unterminated <${name}>`);
      if (token.text !== undefined) text += token.text;
      else if (token.closing && token.name === name) return decodeText(text);
      else throw new Error(`unexpected <${token.name}> in <${name}>`);
    }
  };
  const value = () => {
    skipBlank();
    const token = next();
    if (!token || token.text !== undefined || token.closing) throw new Error('value expected');
    switch (token.name) {
      case 'plist': {
        const inner = value();
        skipBlank();
        next();
        return inner;
      }
      case 'dict': {
        const result = {};
        if (token.empty) return result;
        for (;;) {
          skipBlank();
          const key = next();
          if (key.closing && key.name === 'dict') return result;
          if (key.name !== 'key') throw new Error('key expected');
          const name = key.empty ? '' : textUntilClose('key');
          result[name] = value();
        }
      }
      case 'array': {
        const result = [];
        if (token.empty) return result;
        for (;;) {
          skipBlank();
          if (tokens[index].closing && tokens[index].name === 'array') {
            index++;
            return result;
          }
          result.push(value());
        }
      }
      case 'string': return token.empty ? '' : textUntilClose('string');
      case 'integer': return Number(textUntilClose('integer'));
      case 'real': return Number(textUntilClose('real'));
      case 'true': return true;
      case 'false': return false;
      case 'data': return Buffer.from(token.empty ? '' : textUntilClose('data').replace(/\s/g, ''), 'base64');
      case 'date': return new Date(textUntilClose('date'));
      default: throw new Error(`unknown plist element <${token.name}>`);
    }
  };
  return value();
}

function serializeValue(item, indent) {
  const pad = '\t'.repeat(indent);
  if (typeof item === 'string') return `${pad}<string>${encodeText(item)}</string>\n`;
  if (typeof item === 'boolean') return `${pad}<${item}/>\n`;
  if (typeof item === 'number') return `${pad}<integer>${Math.trunc(item)}</integer>\n`;
  if (Buffer.isBuffer(item)) return `${pad}<data>${item.toString('base64')}</data>\n`;
  if (Array.isArray(item)) {
    return `${pad}<array>\n${item.map((element) => serializeValue(element, indent + 1)).join('')}${pad}</array>\n`;
  }
  let out = `${pad}<dict>\n`;
  for (const [key, element] of Object.entries(item)) {
    out += `${pad}\t<key>${encodeText(key)}</key>\n${serializeValue(element, indent + 1)}`;
  }
  return `${out}${pad}</dict>\n`;
}

function serialize(item) {
  return '<?xml version="1.0" encoding="UTF-8"?>\n' +
    '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n' +
    `<plist version="1.0">\n${serializeValue(item, 0)}</plist>\n`;
}

module.exports = { parse, serialize };
