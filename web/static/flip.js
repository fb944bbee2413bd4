// The built-in flip: one element at a time, each held for ?hold= seconds (4 by default).
'use strict';

function runFlip(stage, showTitles) {
  const hold = (Number(ticker.params.get('hold')) || 4) * 1000;
  const box = document.createElement('div');
  box.className = 'flip';
  stage.append(box);

  async function show() {
    let element;
    try {
      element = await ticker.next();
    } catch (refused) {
      return;
    }
    showTitles(element.titles);
    const empty = !element.served || (!element.design && !element.values.length);
    if (!empty) box.replaceChildren(ticker.render(element));
    setTimeout(show, empty ? 1000 : hold);
  }
  show();
}
