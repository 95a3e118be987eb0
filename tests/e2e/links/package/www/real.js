window.insideValue = 'inside';
