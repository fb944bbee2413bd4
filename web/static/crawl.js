// The built-in crawl: elements run right to left at ?speed= pixels per second (120 by
// default); the next element is asked for only when the last one has fully entered.
'use strict';

function runCrawl(stage, showTitles) {
  const speed = Number(ticker.params.get('speed')) || 120;
  const track = document.createElement('div');
  track.className = 'crawl';
  stage.append(track);
  const items = [];
  let asking = false;
  let last = performance.now();

  async function add() {
    asking = true;
    try {
      const element = await ticker.next();
      showTitles(element.titles);
      if (!element.served || (!element.design && !element.values.length)) {
        setTimeout(() => { asking = false; }, 1000);  // nothing to show: look again shortly
        return;
      }
      const node = ticker.render(element);
      track.append(node);
      const tail = items.length ? items[items.length - 1] : null;
      const x = tail ? Math.max(tail.x + tail.node.offsetWidth, track.clientWidth) : track.clientWidth;
      items.push({ node, x });
      node.style.transform = 'translateX(' + x + 'px)';
    } catch (refused) {
      return;  // stays asking: the page shows why
    }
    asking = false;
  }

  function frame(now) {
    const step = speed * (now - last) / 1000;
    last = now;
    for (const item of items) {
      item.x -= step;
      item.node.style.transform = 'translateX(' + item.x + 'px)';
    }
    while (items.length && items[0].x + items[0].node.offsetWidth < 0) items.shift().node.remove();
    const tail = items[items.length - 1];
    if (!asking && (!tail || tail.x + tail.node.offsetWidth <= track.clientWidth)) add();
    requestAnimationFrame(frame);
  }
  requestAnimationFrame(frame);
}
